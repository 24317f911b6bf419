// The simulated camera as the bus sees it: a USB device model behind a bus port. It takes the
// command packets on its command endpoint, answers on the reply endpoint and sends raw GRBG frames
// on the frame endpoint (sim/protocol.h). Host calls (tests, camctl) choose the scene and the
// read-out, fire the external trigger, set faults and read what the camera holds and recorded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/usb_bus.h"
#include "sim/command_set.h"
#include "sim/descriptors.h"
#include "sim/faults.h"
#include "sim/frame_sender.h"
#include "sim/link.h"
#include "sim/protocol.h"
#include "sim/recorder.h"
#include "sim/scene.h"

namespace sim {

class SimCamera : public platform::UsbDeviceModel {
  public:
    SimCamera();
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

    // ---- The read-out ----
    // What the sensor looks at; false (and the scene unchanged) when there is none, as when a
    // scene file could not be loaded.
    bool SetScene(std::shared_ptr<const Scene> scene);
    // The raw frame is width x height bytes, row after row, padded with zeros or cut to the
    // announced size.
    void SetWindow(uint32_t width, uint32_t height);
    void SetSeed(uint64_t seed);
    void SetNoise(bool enabled);
    // Bytes of payload per second on the frame endpoint; 0 sends as fast as the link takes it.
    void SetLinkSpeed(uint64_t bytes_per_second);
    // What a query of the clock item answers (also changed by setting that item).
    void SetClockSetting(uint8_t value);
    // The exact bytes frame `frame_number` is sent as, with the camera's state and read-out now.
    std::vector<uint8_t> RenderFrame(uint64_t frame_number) const;
    // With external trigger on, releases the frame that waits for it (true); with none waiting,
    // the trigger is latched and releases the next armed frame (false).
    bool FireTrigger();
    // Wires the trigger input on the host's side: every frame waits for FireTrigger, whatever the
    // host set the camera to. Turning it off releases a frame that waits.
    void SetHostTrigger(bool on);
    // Waits until no frame is being sent or the time-out passes.
    bool WaitSenderIdle(uint32_t timeout_ms) const;
    // The CPU time making and sending frames has used so far, in nanoseconds.
    uint64_t SenderCpuNanoseconds() const;

    // ---- Faults: replaced as a whole; what the camera has not used up yet ----
    void SetFaults(const Faults& faults);
    Faults faults() const;

    // ---- What the camera holds and what it received and sent ----
    CameraState state() const;
    Recorder& records() { return recorder_; }
    const Recorder& records() const { return recorder_; }

  private:
    // How an OUT transfer ends when it is not taken as a command; none when it is taken.
    std::optional<platform::UsbOutResult> Refusal(const Link::Lock& lock, uint8_t endpoint_address,
                                                  const uint8_t* data, uint32_t length);
    void RunFrameCommand(Link::Lock& lock, FrameCommand command);
    // The effects of faults that were not set before: a stalled, silent or gone camera drops its
    // frame, and pending IN transfers fail.
    void ApplyNewFaults(Link::Lock& lock, const Faults& before);

    // Each part uses those declared before it; the frame sender, whose thread uses them all, is
    // the last made and the first to stop.
    Link link_;
    Recorder recorder_;
    Faults faults_;
    ReadoutSetup setup_;
    CommandSet commands_;
    FrameSender frames_;
};

}  // namespace sim
