// The simulated camera: a USB device model behind a bus port. It answers the 64-byte command
// packets on endpoint 0x01, replies on 0x81 and sends raw GRBG frames on 0x82 from a sender thread
// of its own, paced at the link speed. Host calls (tests, camctl) set the scene and the read-out
// window, fire the external trigger, inject faults and read what the camera received.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb_bus.h"
#include "sim/descriptors.h"
#include "sim/scene.h"
#include "sim/sensor.h"

namespace sim {

inline constexpr uint8_t kCommandEndpoint = 0x01;
inline constexpr uint8_t kReplyEndpoint = 0x81;
inline constexpr uint8_t kFrameEndpoint = 0x82;
inline constexpr uint32_t kPacketSize = 64;
inline constexpr uint32_t kRegisterCount = 1024;
// A USB 2.0 high-speed bulk link carries about this much payload per second.
inline constexpr uint64_t kDefaultLinkSpeed = 40'000'000;

using Packet = std::array<uint8_t, kPacketSize>;

struct RegisterWrite {
    uint32_t number = 0;
    uint32_t value = 0;
    uint8_t bits = 0;  // the bit count of packet byte 1
};

struct ItemWrite {
    uint8_t item = 0;
    uint8_t value = 0;
};

struct ProtocolError {
    uint8_t code = 0;  // byte 0 of the offending packet (0 when there was none)
    std::string what;
};

enum class TransferFault {
    kShort,  // the transfer completes successfully with about half its bytes
    kError,  // the transfer completes with an error status and carries nothing
};

class SimCamera : public platform::UsbDeviceModel {
  public:
    explicit SimCamera(uint64_t seed = 1);
    ~SimCamera() override;
    SimCamera(const SimCamera&) = delete;
    SimCamera& operator=(const SimCamera&) = delete;

    // ---- UsbDeviceModel: called by the bus from its own thread ----
    void Attach(platform::UsbDeviceLink* link) override;
    bool GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                       std::vector<uint8_t>* out) override;
    bool SetConfiguration(uint8_t value) override;
    platform::UsbOutResult Out(uint8_t endpoint_address, const uint8_t* data,
                               uint32_t length) override;
    void InTransferQueued(uint8_t endpoint_address, uint32_t length) override;
    USBD_STATUS ResetPipe(uint8_t endpoint_address) override;
    uint32_t PortStatus() override;
    void ResetPort() override;

    // ---- Scene and sensor ----
    void SetSceneChart();
    void SetSceneFlat(uint8_t level);
    // Loads a PNG file as the scene, scaled or tiled to the read-out window. On failure the scene
    // is unchanged, *error says why, and the result is false.
    bool SetScenePng(const std::string& path, PngFit fit, std::string* error);
    // The sensor's read-out window; the raw frame is width x height bytes, row after row.
    void SetWindow(uint32_t width, uint32_t height);
    void SetSeed(uint64_t seed);
    void SetNoise(bool enabled);
    // What a query of camera item 15 answers (also changed by setting item 15).
    void SetClockSetting(uint8_t value);
    // Bytes of payload per second on the frame endpoint; 0 sends as fast as the link takes it.
    void SetLinkSpeed(uint64_t bytes_per_second);

    // The exact bytes frame `frame_number` is sent as, with the current registers, items, window,
    // scene and seed: the announced raw frame size, padded with zeros or cut.
    std::vector<uint8_t> RenderFrame(uint64_t frame_number) const;

    // With external trigger on, releases the frame that waits for it (true); with none waiting,
    // the trigger is latched and releases the next armed frame (false).
    bool FireTrigger();
    // Wires the trigger input on the host's side: every frame waits for FireTrigger, as in
    // external-trigger mode, whatever the host set the camera to. Turning it off releases a frame
    // that waits.
    void SetHostTrigger(bool on);

    // ---- Faults ----
    // The next `count` transfers on the endpoint (0x01, 0x81 or 0x82) complete short or with an
    // error. An IN transfer counts when the camera has data for it.
    void FailNextTransfers(uint8_t endpoint_address, uint32_t count, TransferFault fault,
                           USBD_STATUS status = USBD_STATUS_CRC);
    // Every transfer on the endpoint stalls until the host resets the pipe (or the port).
    void StallEndpoint(uint8_t endpoint_address);
    // The next frame that is armed and started is never sent.
    void DropNextFrame();
    // Silent: OUT transfers never complete and nothing is sent until silence is lifted.
    void SetSilent(bool silent);
    // The port reports connected but not enabled and every transfer fails, until a port reset.
    void Disconnect();
    void SetHostileDescriptors(HostileDescriptors kind);

    // ---- What the camera received and did ----
    std::vector<Packet> Commands() const;  // every command packet executed, in order
    std::vector<RegisterWrite> RegisterWrites() const;
    std::vector<ItemWrite> ItemWrites() const;
    std::vector<Packet> RawCommands() const;  // packets of code 0x40
    std::vector<ProtocolError> ProtocolErrors() const;
    // Forgets every record above, the sent frames and their kept bytes; the device state stays.
    void ClearRecords();
    uint32_t Register(uint32_t number) const;
    uint8_t Item(uint8_t item) const;
    // Items 0..3 as the raw frame size, least significant byte first.
    uint32_t AnnouncedFrameSize() const;
    bool Configured() const;
    bool Awake() const;
    // Frame numbers of the frames sent completely, in order.
    std::vector<uint64_t> SentFrames() const;
    // Keeps the bytes of the last `count` frames sent completely (none by default).
    void KeepSentFrames(size_t count);
    // The bytes of a kept frame, the announced raw frame size of them, as the camera sent them;
    // empty when that frame is not kept.
    std::vector<uint8_t> SentFrameBytes(uint64_t frame_number) const;
    // Waits until `count` frames were sent completely or the time-out passes.
    bool WaitForSentFrames(size_t count, uint32_t timeout_ms) const;
    // Waits until no frame is being sent or the time-out passes.
    bool WaitSenderIdle(uint32_t timeout_ms) const;

  private:
    enum class FramePhase { kIdle, kRequested, kArmed, kWaitingTrigger, kSending };

    struct FaultCounter {
        uint32_t count = 0;
        TransferFault fault = TransferFault::kError;
        USBD_STATUS status = USBD_STATUS_CRC;
    };

    // One piece of a frame on the wire: bytes of the frame, sent or skipped, ending a transfer
    // early or failing it.
    struct Segment {
        uint32_t offset = 0;
        uint32_t send = 0;       // bytes sent from offset
        bool short_end = false;  // ends its transfer with a short packet
        bool fail = false;       // the transfer fails instead
        USBD_STATUS status = USBD_STATUS_SUCCESS;
    };

    struct FrameJob {
        uint64_t generation = 0;
        uint64_t frame_number = 0;
        SensorSettings settings;
        std::shared_ptr<const Scene> scene;
        uint32_t size = 0;
        std::vector<Segment> plan;
        std::chrono::steady_clock::time_point started;  // when the frame was released
    };

    using Lock = std::unique_lock<std::mutex>;

    void HandleCommand(Lock& lock, const Packet& packet);
    void HandleRegisterWrite(const Packet& packet);
    void HandleItemSet(const Packet& packet);
    void HandleFrameRequest(Lock& lock);
    void HandleGo();
    void SendReply(Lock& lock, uint8_t answer, uint8_t code);
    void StartFrameLocked(uint64_t frame_number);
    std::vector<Segment> PlanFrameLocked(uint32_t size);
    void AbortFrameLocked();
    void AddErrorLocked(uint8_t code, std::string what);
    SensorSettings SettingsLocked() const;
    uint32_t AnnouncedFrameSizeLocked() const;
    bool LiveLocked(const FrameJob& job) const;

    // Runs fn(link) without holding the mutex; Attach(null) waits for such calls to finish. False
    // when no link is attached (fn did not run).
    template <typename Fn>
    bool WithLink(Lock& lock, Fn fn);
    void FailPendingLocked(Lock& lock, uint8_t endpoint_address, USBD_STATUS status);

    void SenderLoop();
    void SendFrame(Lock& lock, const FrameJob& job);
    void RecordSentLocked(const FrameJob& job, const std::vector<uint8_t>& buffer);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    platform::UsbDeviceLink* link_ = nullptr;
    uint32_t link_users_ = 0;
    bool stopping_ = false;

    // Device state.
    uint8_t configuration_ = 0;
    bool awake_ = false;
    std::array<uint32_t, kRegisterCount> registers_{};
    std::array<uint8_t, 256> items_{};
    uint8_t clock_setting_ = 2;
    HostileDescriptors hostile_ = HostileDescriptors::kNone;

    // Sensor and scene.
    std::shared_ptr<const Scene> scene_;
    uint32_t window_width_ = 1600;
    uint32_t window_height_ = 1200;
    uint64_t seed_ = 1;
    bool noise_ = true;
    uint64_t link_speed_ = kDefaultLinkSpeed;

    // Frame read-out.
    FramePhase phase_ = FramePhase::kIdle;
    uint64_t generation_ = 0;
    uint64_t next_frame_number_ = 0;
    uint64_t waiting_frame_number_ = 0;
    bool trigger_latched_ = false;
    uint32_t drop_frames_ = 0;
    std::deque<uint32_t> queued_frame_transfers_;  // lengths queued on 0x82 since the request
    std::unique_ptr<FrameJob> pending_job_;
    bool sender_busy_ = false;
    std::vector<uint64_t> sent_frames_;
    size_t keep_sent_ = 0;
    std::deque<std::pair<uint64_t, std::vector<uint8_t>>> kept_frames_;  // oldest first
    bool host_trigger_ = false;

    // Faults.
    FaultCounter out_fault_;
    FaultCounter reply_fault_;
    FaultCounter frame_fault_;
    bool stalled_[3] = {false, false, false};  // 0x01, 0x81, 0x82
    bool silent_ = false;
    bool disconnected_ = false;

    // Records.
    std::vector<Packet> commands_;
    std::vector<RegisterWrite> register_writes_;
    std::vector<ItemWrite> item_writes_;
    std::vector<Packet> raw_commands_;
    std::vector<ProtocolError> errors_;

    std::thread sender_;
};

}  // namespace sim
