#include "sim/frame_sender.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <string>

namespace sim {

namespace {

// Larger than any window the sensor can read out; a bigger announcement is a host fault.
constexpr uint32_t kMaxFrameSize = 64u << 20;
// Rows are rendered and sent in pieces of whole packets, so only a frame's end is short.
constexpr uint32_t kChunk = 16 * 1024;
// Each wait for the link costs the sender a wake-up: on a fast link the pieces go in groups that
// take about this long on the wire. A group leaves when its last byte would have, so no byte
// arrives before the link could carry it, and none more than this late.
constexpr uint64_t kPaceMicroseconds = 4000;
// As fast as the link takes it, the pieces go in groups this large.
constexpr uint32_t kUnpacedPiece = 256 * 1024;

// The bytes sent at once at a link speed.
uint32_t PieceFor(uint64_t link_speed) {
    if (link_speed == 0) {
        return kUnpacedPiece;
    }
    const uint64_t bytes = link_speed * kPaceMicroseconds / 1'000'000;
    const uint64_t chunks = std::max<uint64_t>(1, (bytes + kChunk - 1) / kChunk);
    return static_cast<uint32_t>(std::min<uint64_t>(chunks * kChunk, kUnpacedPiece));
}

}  // namespace

// A frame on its way out: its bytes, rendered a band of rows ahead of the wire into the sender's
// frame buffer.
struct FrameSender::Transmission {
    Transmission(const Job& job, Sensor& frame_sensor, std::vector<uint8_t>& frame)
        : width(job.source.settings.width),
          height(job.source.settings.height),
          buffer(frame),
          sensor(frame_sensor) {
        const size_t pixels = size_t{width} * height;
        buffer.resize(std::max<size_t>(job.source.size, pixels));
        std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(pixels), buffer.end(), 0);
        sensor.StartFrame(job.source.settings, job.source.scene, job.frame_number);
    }

    uint32_t width;
    uint32_t height;
    std::vector<uint8_t>& buffer;
    Sensor& sensor;
    uint32_t rendered_rows = 0;
    uint64_t wire_bytes = 0;
    bool handed_over = false;  // the frame's last piece went to the bus
};

FrameSender::FrameSender(Link& link, Recorder& recorder, Faults& faults, const CommandSet& commands,
                         const ReadoutSetup& setup)
    : link_(link), recorder_(recorder), faults_(faults), commands_(commands), setup_(setup) {
    thread_ = std::thread([this] { Run(); });
    // Named, so that a profile tells the camera's time from the driver's.
    pthread_setname_np(thread_.native_handle(), "camera");
    has_clock_ = pthread_getcpuclockid(thread_.native_handle(), &clock_) == 0;
}

FrameSender::~FrameSender() {
    {
        Link::Lock lock = link_.Hold();
        stopping_ = true;
        Cancel(lock);
    }
    thread_.join();
}

// ---- The state machine, with the camera's lock held --------------------------------------------

void FrameSender::Request(Link::Lock& lock) {
    if (phase_ == Phase::kRequested) {
        phase_ = Phase::kArmed;
        return;
    }
    Cancel(lock);
    phase_ = Phase::kRequested;
    queued_transfers_.clear();
    link_.FlushIn(lock, kFrameEndpoint);
}

void FrameSender::Go(Link::Lock& lock) {
    if (phase_ != Phase::kArmed) {
        recorder_.AddError(command::kGo, "go without a frame request and arm");
        return;
    }
    const uint64_t frame_number = next_frame_number_++;
    if (faults_.drop_frames > 0) {
        --faults_.drop_frames;
        phase_ = Phase::kIdle;
        return;
    }
    if (TriggerHeld(lock)) {
        if (!trigger_latched_) {
            waiting_frame_number_ = frame_number;
            phase_ = Phase::kWaitingTrigger;
            return;
        }
        trigger_latched_ = false;
    }
    Start(lock, frame_number);
}

void FrameSender::TriggerModeChanged(Link::Lock& lock) {
    // A trigger from before the mode change must not release a frame of the new mode.
    trigger_latched_ = false;
    ReleaseIfFree(lock);
}

bool FrameSender::FireTrigger(Link::Lock& lock) {
    if (phase_ == Phase::kWaitingTrigger) {
        Start(lock, waiting_frame_number_);
        return true;
    }
    trigger_latched_ = true;
    return false;
}

void FrameSender::SetHostTrigger(Link::Lock& lock, bool on) {
    host_trigger_ = on;
    ReleaseIfFree(lock);
}

void FrameSender::TransferQueued(const Link::Lock&, uint32_t length) {
    if (phase_ == Phase::kRequested || phase_ == Phase::kArmed) {
        queued_transfers_.push_back(length);
    }
}

void FrameSender::Abort(Link::Lock& lock) {
    Cancel(lock);
    phase_ = Phase::kIdle;
}

FrameSource FrameSender::Source(const Link::Lock& lock) const {
    const CameraState& state = commands_.state(lock);
    FrameSource source;
    source.settings.width = setup_.width;
    source.settings.height = setup_.height;
    source.settings.exposure_a = state.RegisterPair(reg::kExposureA);
    source.settings.exposure_b = state.RegisterPair(reg::kExposureB);
    source.settings.gain = state.RegisterPair(reg::kGain);
    source.settings.seed = setup_.seed;
    source.settings.noise = setup_.noise;
    source.scene = setup_.scene;
    source.size = state.AnnouncedFrameSize();
    return source;
}

bool FrameSender::WaitIdle(uint32_t timeout_ms) const {
    Link::Lock lock = link_.Hold();
    return link_.WaitFor(lock, timeout_ms, [&] { return !busy_ && pending_ == nullptr; });
}

uint64_t FrameSender::CpuNanoseconds() const {
    timespec used{};
    if (!has_clock_ || clock_gettime(clock_, &used) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(used.tv_sec) * 1'000'000'000u +
           static_cast<uint64_t>(used.tv_nsec);
}

bool FrameSender::TriggerHeld(const Link::Lock& lock) const {
    return commands_.state(lock).ExternalTrigger() || host_trigger_;
}

void FrameSender::ReleaseIfFree(Link::Lock& lock) {
    if (!TriggerHeld(lock) && phase_ == Phase::kWaitingTrigger) {
        Start(lock, waiting_frame_number_);
    }
}

void FrameSender::Start(Link::Lock& lock, uint64_t frame_number) {
    phase_ = Phase::kIdle;
    FrameSource source = Source(lock);
    if (source.size == 0 || source.size > kMaxFrameSize) {
        recorder_.AddError(command::kGo, "announced frame size " + std::to_string(source.size));
        return;
    }
    if (faults_.silent || faults_.frame.stalled || !link_.Attached(lock)) {
        return;
    }
    auto job = std::make_unique<Job>();
    job->generation = generation_;
    job->frame_number = frame_number;
    job->plan = PlanFrame(source.size, queued_transfers_, faults_.frame.next);
    job->source = std::move(source);
    job->started = std::chrono::steady_clock::now();
    pending_ = std::move(job);
    phase_ = Phase::kSending;
    link_.Notify();
}

void FrameSender::Cancel(Link::Lock&) {
    ++generation_;
    pending_.reset();
    link_.Notify();
}

bool FrameSender::Live(const Link::Lock& lock, const Job& job) const {
    return !stopping_ && link_.Attached(lock) && generation_ == job.generation;
}

// ---- The sender thread -------------------------------------------------------------------------

void FrameSender::Run() {
    Link::Lock lock = link_.Hold();
    for (;;) {
        link_.Wait(lock, [&] { return stopping_ || pending_ != nullptr; });
        if (stopping_) {
            return;
        }
        const std::unique_ptr<Job> job = std::move(pending_);
        busy_ = true;
        Send(lock, *job);
        busy_ = false;
        link_.Notify();
    }
}

void FrameSender::Send(Link::Lock& lock, const Job& job) {
    lock.unlock();
    Transmission transmission(job, sensor_, frame_);
    lock.lock();
    // A frame whose last piece went to the bus is sent, even when the host has already asked for
    // the next one while that piece was being handed over.
    const Segment* last = &job.plan.back();
    for (const Segment& segment : job.plan) {
        if (!Live(lock, job) || !SendSegment(lock, job, segment, &segment == last, transmission)) {
            return;
        }
    }
    if (transmission.handed_over && !stopping_) {
        recorder_.AddSentFrame(job.frame_number, transmission.buffer.data(), job.source.size);
    }
    if (Live(lock, job) && phase_ == Phase::kSending) {
        phase_ = Phase::kIdle;
    }
}

bool FrameSender::SendSegment(Link::Lock& lock, const Job& job, const Segment& segment, bool last,
                              Transmission& transmission) {
    if (segment.fail) {
        transmission.handed_over = link_.FailIn(lock, kFrameEndpoint, segment.status) && last;
        return true;
    }
    const uint32_t piece = PieceFor(setup_.link_speed);
    uint32_t done = 0;
    do {
        const uint32_t chunk = std::min(piece, segment.send - done);
        RenderThrough(lock, transmission, uint64_t{segment.offset} + done + chunk);
        transmission.wire_bytes += chunk;
        Pace(lock, job, transmission.wire_bytes);
        if (!Live(lock, job)) {
            return false;
        }
        const uint8_t* data = transmission.buffer.data() + segment.offset + done;
        transmission.handed_over =
            link_.SendIn(lock, kFrameEndpoint, data, chunk) && last && done + chunk >= segment.send;
        done += chunk;
    } while (done < segment.send);
    return true;
}

void FrameSender::RenderThrough(Link::Lock& lock, Transmission& transmission, uint64_t end) {
    const uint32_t width = transmission.width;
    if (width == 0) {
        return;
    }
    const uint32_t rows =
        static_cast<uint32_t>(std::min<uint64_t>(transmission.height, (end + width - 1) / width));
    if (rows <= transmission.rendered_rows) {
        return;
    }
    lock.unlock();
    transmission.sensor.Rows(
        transmission.rendered_rows, rows,
        transmission.buffer.data() + size_t{transmission.rendered_rows} * width);
    lock.lock();
    transmission.rendered_rows = rows;
}

void FrameSender::Pace(Link::Lock& lock, const Job& job, uint64_t wire_bytes) {
    // The link paces the frame from its release: the sender's own set-up overlaps the first
    // pieces' time on the wire, as a camera's read-out starts at the go.
    if (setup_.link_speed == 0) {
        return;
    }
    const auto deadline =
        job.started + std::chrono::nanoseconds(wire_bytes * 1'000'000'000ull / setup_.link_speed);
    link_.WaitUntil(lock, deadline, [&] { return !Live(lock, job); });
}

}  // namespace sim
