// The one way tests stand up a streaming device: the simulated camera on the bus, the driver
// loaded, its device added and started, a filter open on it; and the client steps of a capture
// application (intersect, create a pin, queue buffers, take frames). Torn down in reverse order,
// with the verifier's leak check at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "driver/camera_context.h"
#include "platform/ks_client.h"
#include "sim/sim_camera.h"
#include "tests/support/hang_guard.h"

namespace camtest {

namespace client = platform::ks::client;

struct RigOptions {
    uint64_t link_speed = 0;  // bytes per second; 0 sends as fast as the link takes it
    // The capture geometry, set before any pin exists; the camera's read-out window follows it.
    LONG width = 1600;
    LONG height = 1200;
    // Every frame waits for Step(), so that each delivered frame is the one the camera just sent.
    bool host_trigger = false;
    LONG frame_timeout_ms = 3000;
};

class StreamingRig {
  public:
    explicit StreamingRig(const RigOptions& options = {});
    ~StreamingRig();
    StreamingRig(const StreamingRig&) = delete;
    StreamingRig& operator=(const StreamingRig&) = delete;

    // False when the device could not be brought up (the test's own assertions say why).
    bool ok() const { return filter_ != nullptr; }
    sim::SimCamera& camera() { return *camera_; }
    PKSDEVICE device() const { return device_; }
    client::Filter* filter() const { return filter_; }
    // The driver's record, for the settings no client call reaches yet.
    CameraContext* context() const;

    // The connection format a client gets by intersecting the pin's advertised range with itself.
    std::vector<uint8_t> DefaultFormat();
    // A copy of `format` with another bitmap width and height, biSizeImage to match.
    static std::vector<uint8_t> WithBitmap(const std::vector<uint8_t>& format, LONG width,
                                           LONG height);
    static KS_BITMAPINFOHEADER& Bitmap(std::vector<uint8_t>& format);

    // A pin on the rig's filter (closed by the rig if the test does not), null on failure.
    client::Pin* CreatePin(const std::vector<uint8_t>& format, bool clock = true,
                           NTSTATUS* status = nullptr);
    // A stream buffer freed by the rig; its data bytes filled with `fill`.
    client::StreamBuffer* NewBuffer(ULONG header_size, ULONG frame_extent, uint8_t fill = 0xEE);
    // Queues `count` new buffers of one frame of the pin's format each.
    std::vector<client::StreamBuffer*> QueueBuffers(client::Pin* pin, size_t count,
                                                    ULONG header_size = 128);

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
    RigOptions options_;
    LONG saved_timeout_ = 3000;
    size_t steps_ = 0;
    std::unique_ptr<sim::SimCamera> camera_;
    PDEVICE_OBJECT port_ = nullptr;
    PKSDEVICE device_ = nullptr;
    client::Filter* filter_ = nullptr;
    std::vector<client::StreamBuffer*> buffers_;
};

// One frame as delivered: the header fields a test checks and the frame info when there is one.
struct Delivered {
    KSSTREAM_HEADER header{};
    bool has_frame_info = false;
    KS_FRAME_INFO frame_info{};
};
Delivered Snapshot(const client::StreamBuffer* buffer);

// Takes completed buffers back and resubmits them until one holds an image; false when none came
// within the hang guard. The picture number of that frame, when it has one, goes to *picture.
bool TakeImage(client::Pin* pin, LONGLONG* picture = nullptr);

}  // namespace camtest
