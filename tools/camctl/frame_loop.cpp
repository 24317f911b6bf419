#include "tools/camctl/frame_loop.h"

#include "platform/verifier.h"
#include "tools/common/status_text.h"

namespace camctl {

FrameLoop::FrameLoop(camtools::Session* session, camtools::CameraFilter* filter)
    : session_(session), filter_(filter) {}

FrameLoop::~FrameLoop() {
    Close();
}

std::string FrameLoop::Start(const LoopOptions& options) {
    LONG timeout_ms = 3000;
    filter_->Get(camdrv::CameraItem::Timeout, &timeout_ms);
    frame_wait_ms_ = 2 * (uint32_t)timeout_ms + 1000;
    sim::SimCamera& camera = session_->camera();
    // The first frame waits until the settings asked for are made.
    camera.SetHostTrigger(true);
    std::string problem = stream_.Open(filter_->filter(), options.stream);
    if (!problem.empty())
        return problem;
    const NTSTATUS status = stream_.Run();
    if (!NT_SUCCESS(status))
        return "the capture pin did not run: " + camtools::StatusText(status);
    running_ = true;
    {
        // The camera learns its frame size when the stream starts.
        std::lock_guard<std::mutex> guard(mutex_);
        summary_.SetLink(session_->link_speed(), camera.state().AnnouncedFrameSize());
    }
    // The first stream start programs the sensor afresh, so sensor settings are made now.
    problem = filter_->SetAll(options.assignments);
    if (!problem.empty())
        return problem;
    cpu_start_ = platform::verifier::DriverCpuNanoseconds();
    if (options.lock_step)
        camera.FireTrigger();
    else
        camera.SetHostTrigger(false);
    return "";
}

std::string FrameLoop::Run(const std::function<bool()>& go_on, const FrameHandler& on_frame,
                           const IdleHandler& on_idle, uint32_t poll_ms) {
    uint32_t idle_ms = 0;
    while (go_on()) {
        camtools::client::StreamBuffer* buffer = stream_.Next(poll_ms);
        if (buffer == nullptr) {
            idle_ms += poll_ms;
            std::string problem = on_idle(idle_ms);
            if (!problem.empty())
                return problem;
            continue;
        }
        idle_ms = 0;
        const KSSTREAM_HEADER& header = *buffer->header;
        DeliveredFrame frame;
        frame.buffer = buffer;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (header.DataUsed == 0) {
                summary_.AddEmptyBuffer();
                stream_.Recycle(buffer);
                continue;
            }
            std::optional<int64_t> time;
            if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0) {
                time = header.PresentationTime.Time;
                frame.picture = buffer->frame_info->PictureNumber;
            }
            summary_.AddFrame(time, frame.picture);
            frame.number = summary_.frames();
        }
        std::string problem = on_frame(frame);
        if (!problem.empty())
            return problem;
    }
    return "";
}

void FrameLoop::Recycle(camtools::client::StreamBuffer* buffer) {
    stream_.Recycle(buffer);
}

void FrameLoop::Stop() {
    if (!running_)
        return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        cpu_used_ = platform::verifier::DriverCpuNanoseconds() - cpu_start_;
    }
    // A read waiting for the trigger would hold the stop for a whole time-out.
    session_->camera().SetHostTrigger(false);
    stream_.Stop();
    running_ = false;
}

void FrameLoop::Close() {
    Stop();
    stream_.Close();
}

uint64_t FrameLoop::frames() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return summary_.frames();
}

CaptureSummary FrameLoop::Summary() const {
    std::lock_guard<std::mutex> guard(mutex_);
    CaptureSummary summary = summary_;
    summary.SetDriverCpu(cpu_used_ ? *cpu_used_
                                   : platform::verifier::DriverCpuNanoseconds() - cpu_start_);
    return summary;
}

}  // namespace camctl
