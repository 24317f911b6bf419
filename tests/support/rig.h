// The one way tests and benchmarks stand up the camera stack, as far up as each needs it: the
// simulated camera on a bus port, the driver loaded and a device added on that port (its camera
// context made by the driver's own Add), then started, a filter open on it, and a pin running.
// Each level builds on the one below; the rig takes down whatever it or the test brought up, in
// reverse order, and reports what the verifier found left behind. Settings persist in a registry
// file in a folder of the rig's own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camdrv/camera_properties.h"
#include "driver/camera_context.h"
#include "platform/ks_client.h"
#include "tests/support/probed_camera.h"
#include "tests/support/scratch_folder.h"

struct FrameProcessor;

namespace camtest {

namespace client = platform::ks::client;

enum class RigLevel {
    // The camera context on the bus, nothing started: for unit tests of usb/ and camera/, which
    // configure the USB device themselves when they need it.
    kUsb,
    // The device started: USB configured, the camera programmed, the persisted settings loaded.
    kStarted,
    // A filter open on the started device.
    kFilter,
    // A pin of the default format on that filter in RUN, with `buffers` queued, its frames
    // counted from the RUN.
    kRunning,
};

struct RigOptions {
    RigLevel level = RigLevel::kFilter;
    // False: the device sits on nothing, as a device whose camera is not plugged in; for tests that
    // need a camera context and no camera.
    bool plugged = true;
    uint64_t link_speed = 0;  // bytes per second; 0 sends as fast as the link takes it
    // The capture geometry, set before any pin exists; the camera's read-out window follows it.
    LONG width = camdrv::FixedValue(camdrv::CameraItem::SensorWidth);
    LONG height = camdrv::FixedValue(camdrv::CameraItem::SensorHeight);
    // Every frame waits for Step(), so that each delivered frame is the one the camera just sent.
    bool host_trigger = false;
    LONG frame_timeout_ms = 3000;
    // Frames whose bytes the camera keeps for RawFrameOfPicture.
    size_t kept_frames = 8;
    size_t buffers = 2;
};

class Rig {
  public:
    explicit Rig(const RigOptions& options = {});
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Whether the rig reached its level; when not, the failure was reported.
    bool ok() const { return ok_; }

    // ---- The camera on the bus and the device
    ProbedCamera& sim() { return *sim_; }
    PKSDEVICE device() const { return device_; }
    // The driver's record of the device.
    CameraContext* context() const;
    // The settings the devices read at their creation, and their stops save.
    std::string registry_file() const { return folder_.File("registry.reg"); }

    // The camera's USB device configured, as a start does and with nothing else of a start.
    NTSTATUS ConfigureUsb();
    NTSTATUS Start();
    void Stop();
    // A new device on the port; the registry file is read as it is created.
    NTSTATUS Plug();
    void Unplug();
    NTSTATUS Replug();
    // A further device on nothing, removed with the rig unless removed before.
    PKSDEVICE AddDevice();
    void RemoveDevice(PKSDEVICE device);

    // ---- A capture application's steps on the rig's filter
    client::Filter* filter() const { return filter_; }
    // Opens the rig's filter on the started device; a close saves the settings.
    NTSTATUS OpenFilter();
    NTSTATUS CloseFilter();
    // The rig's running pin.
    client::Pin* pin() const { return pin_; }
    // The connection format a client gets by intersecting the pin's advertised range with itself.
    std::vector<uint8_t> DefaultFormat();
    // A copy of `format` with another bitmap width and height, biSizeImage to match.
    static std::vector<uint8_t> WithBitmap(const std::vector<uint8_t>& format, LONG width,
                                           LONG height);
    static KS_BITMAPINFOHEADER& Bitmap(std::vector<uint8_t>& format);
    // A pin on the rig's filter (closed with the filter if the test does not), null on failure.
    client::Pin* CreatePin(const std::vector<uint8_t>& format, bool clock = true,
                           NTSTATUS* status = nullptr);
    // A stream buffer freed by the rig; its data bytes filled with `fill`.
    client::StreamBuffer* NewBuffer(ULONG header_size, ULONG frame_extent, uint8_t fill = 0xEE);
    // Queues `count` new buffers of one frame of the pin's format each.
    std::vector<client::StreamBuffer*> QueueBuffers(client::Pin* pin, size_t count,
                                                    ULONG header_size = 128);
    // A pin of `format` in PAUSE with `buffers` queued; null when a step failed, which is reported.
    client::Pin* PausedPin(const std::vector<uint8_t>& format, size_t buffers);
    // Frames counted from here (RestartCount), and RUN.
    NTSTATUS Run(client::Pin* pin);

    // ---- Frames as the camera sent them
    // Before a RUN that starts or resumes streaming: the camera's records are cleared, and frames
    // are counted and stepped from here.
    void RestartCount();
    // Releases the next frame of a host-triggered camera, once the driver has asked for it: a
    // trigger fired at a frame the driver abandoned at a stop would be lost.
    void Step();
    // The raw bytes the camera sent for the delivered frame with this picture number, counting
    // from the last RestartCount; empty when not kept.
    std::vector<uint8_t> RawFrameOfPicture(uint64_t picture_number);
    // The driver's conversion of a raw frame of the rig's geometry with the default settings, or
    // with those `settings` makes on the processor before the conversion: rows top first, as the
    // conversion writes them. `after` sees the processor once it converted (measured gains).
    std::vector<ULONG> Convert(const std::vector<uint8_t>& raw,
                               const std::function<void(FrameProcessor*)>& settings = {},
                               const std::function<void(const FrameProcessor&)>& after = {}) const;

  private:
    bool Climb();
    bool Failed(const std::string& step, NTSTATUS status);
    NTSTATUS SetCaptureSize();
    void Remove(PKSDEVICE device);

    RigOptions options_;
    ScratchFolder folder_;
    LONG saved_timeout_ = 0;
    bool ok_ = false;
    bool driver_loaded_ = false;
    bool usb_configured_ = false;  // by ConfigureUsb, which a stop does not undo
    size_t steps_ = 0;
    std::unique_ptr<ProbedCamera> sim_;
    PDEVICE_OBJECT port_ = nullptr;
    PKSDEVICE device_ = nullptr;
    std::vector<PKSDEVICE> further_devices_;
    client::Filter* filter_ = nullptr;
    client::Pin* pin_ = nullptr;
    std::vector<client::StreamBuffer*> buffers_;
};

// One frame as delivered: the header fields a test checks and the frame info, zero when the
// buffer has none.
struct Delivered {
    KSSTREAM_HEADER header{};
    KS_FRAME_INFO frame_info{};
};
Delivered Snapshot(const client::StreamBuffer* buffer);

// Takes completed buffers back and resubmits them until one holds an image; false when none came
// within the hang guard. That image's header and frame info go to *image.
bool TakeImage(client::Pin* pin, Delivered* image = nullptr);

}  // namespace camtest
