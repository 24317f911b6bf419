// The capture loop that capture and serve share: one capture pin on the camera's filter with K
// buffers kept queued, run; the settings asked for made before the camera sends its first frame;
// then every delivered frame counted into the summary and handed to the caller, until the caller
// has what it wants or something fails.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/camctl/capture_summary.h"
#include "tools/common/arguments.h"
#include "tools/common/camera_filter.h"
#include "tools/common/capture_stream.h"
#include "tools/common/session.h"

namespace camctl {

struct LoopOptions {
    camtools::StreamOptions stream;
    std::vector<camtools::Assignment> assignments;  // made once the pin runs
    // The camera sends one frame at a time, each released by camera().FireTrigger().
    bool lock_step = false;
};

// A delivered frame; its buffer is the handler's until it goes back through FrameLoop::Recycle.
struct DeliveredFrame {
    camtools::client::StreamBuffer* buffer = nullptr;
    uint64_t number = 0;  // 1 for the first
    std::optional<int64_t> picture;
};

class FrameLoop {
  public:
    // Each handler returns what went wrong, which ends the loop, or an empty string.
    using FrameHandler = std::function<std::string(const DeliveredFrame&)>;
    // Called whenever no frame came for another poll: how long none has come.
    using IdleHandler = std::function<std::string(uint32_t idle_ms)>;

    // The session and its open filter outlive the loop.
    FrameLoop(camtools::Session* session, camtools::CameraFilter* filter);
    ~FrameLoop();
    FrameLoop(const FrameLoop&) = delete;
    FrameLoop& operator=(const FrameLoop&) = delete;

    // Creates the pin, runs it and makes the settings; returns what failed, or an empty string.
    std::string Start(const LoopOptions& options);
    // Takes frames while `go_on` says so, waiting at most poll_ms at a time.
    std::string Run(const std::function<bool()>& go_on, const FrameHandler& on_frame,
                    const IdleHandler& on_idle, uint32_t poll_ms);
    // Any thread.
    void Recycle(camtools::client::StreamBuffer* buffer);
    // Stops the pin; frames handed out stay valid until Close.
    void Stop();
    // Closes the pin and frees every buffer: nothing may hold a frame any more.
    void Close();

    // The wait after which a missing frame is a failure: a read may time out once before the
    // next succeeds.
    uint32_t frame_wait_ms() const { return frame_wait_ms_; }
    // The figures so far, and the frames delivered so far; any thread.
    CaptureSummary Summary() const;
    uint64_t frames() const;
    camtools::CaptureStream& stream() { return stream_; }

  private:
    camtools::Session* session_;
    camtools::CameraFilter* filter_;
    camtools::CaptureStream stream_;
    uint32_t frame_wait_ms_ = 0;
    bool running_ = false;
    uint64_t cpu_start_ = 0;
    mutable std::mutex mutex_;
    CaptureSummary summary_;
    std::optional<uint64_t> cpu_used_;  // once stopped
};

}  // namespace camctl
