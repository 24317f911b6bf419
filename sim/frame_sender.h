// The frame read-out. A frame request, a second one that arms it and a go release a frame, at once
// or, in external-trigger mode, when the trigger fires. A thread of its own renders each released
// frame just ahead of sending it on the frame endpoint, paced at the link's speed.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "sim/command_set.h"
#include "sim/faults.h"
#include "sim/frame_plan.h"
#include "sim/link.h"
#include "sim/recorder.h"
#include "sim/scene.h"
#include "sim/sensor.h"

namespace sim {

// A USB 2.0 high-speed bulk link carries about this much payload per second.
inline constexpr uint64_t kDefaultLinkSpeed = 40'000'000;

// What the host chooses for the read-out.
struct ReadoutSetup {
    std::shared_ptr<const Scene> scene = MakeChartScene();
    uint32_t width = kSensorWidth;  // the read-out window
    uint32_t height = kSensorHeight;
    uint64_t seed = 1;
    bool noise = true;
    uint64_t link_speed = kDefaultLinkSpeed;  // bytes per second; 0: as fast as the link takes it
};

// What a frame released now is made of.
struct FrameSource {
    SensorSettings settings;
    std::shared_ptr<const Scene> scene;
    uint32_t size = 0;  // the announced raw frame size
};

class FrameSender {
  public:
    FrameSender(Link& link, Recorder& recorder, Faults& faults, const CommandSet& commands,
                const ReadoutSetup& setup);
    ~FrameSender();
    FrameSender(const FrameSender&) = delete;
    FrameSender& operator=(const FrameSender&) = delete;

    // Each with the camera's lock held.
    // The first request discards whatever of an earlier frame the host has not taken, since it
    // would misalign the new one; a second request arms the frame.
    void Request(Link::Lock& lock);
    // Releases the armed frame, or leaves it waiting for the trigger.
    void Go(Link::Lock& lock);
    void TriggerModeChanged(Link::Lock& lock);
    // With a frame waiting for the trigger, releases it (true); else the trigger is latched for
    // the next armed frame (false).
    bool FireTrigger(Link::Lock& lock);
    // Every frame waits for FireTrigger while on, whatever the camera's trigger mode.
    void SetHostTrigger(Link::Lock& lock, bool on);
    // The host queued an IN transfer of `length` bytes on the frame endpoint.
    void TransferQueued(const Link::Lock& lock, uint32_t length);
    // Ends the frame in flight; nothing stays requested.
    void Abort(Link::Lock& lock);
    FrameSource Source(const Link::Lock& lock) const;

    // Waits until no frame is being sent or the time-out passes.
    bool WaitIdle(uint32_t timeout_ms) const;
    // The CPU time the sender's thread has used so far, in nanoseconds: what making and sending
    // the frames cost.
    uint64_t CpuNanoseconds() const;

  private:
    enum class Phase { kIdle, kRequested, kArmed, kWaitingTrigger, kSending };

    struct Job {
        uint64_t generation = 0;
        uint64_t frame_number = 0;
        FrameSource source;
        std::vector<Segment> plan;
        std::chrono::steady_clock::time_point started;  // when the frame was released
    };
    struct Transmission;

    bool TriggerHeld(const Link::Lock& lock) const;
    void ReleaseIfFree(Link::Lock& lock);
    void Start(Link::Lock& lock, uint64_t frame_number);
    void Cancel(Link::Lock& lock);
    bool Live(const Link::Lock& lock, const Job& job) const;

    void Run();
    void Send(Link::Lock& lock, const Job& job);
    bool SendSegment(Link::Lock& lock, const Job& job, const Segment& segment, bool last,
                     Transmission& transmission);
    void RenderThrough(Link::Lock& lock, Transmission& transmission, uint64_t end);
    void Pace(Link::Lock& lock, const Job& job, uint64_t wire_bytes);

    Link& link_;
    Recorder& recorder_;
    Faults& faults_;
    const CommandSet& commands_;
    const ReadoutSetup& setup_;

    Phase phase_ = Phase::kIdle;
    uint64_t generation_ = 0;  // a frame in flight of an older generation is abandoned
    uint64_t next_frame_number_ = 0;
    uint64_t waiting_frame_number_ = 0;
    bool trigger_latched_ = false;
    bool host_trigger_ = false;
    std::deque<uint32_t>
        queued_transfers_;          // lengths queued on the frame endpoint since the request
    std::unique_ptr<Job> pending_;  // released, not yet taken by the thread
    bool busy_ = false;
    bool stopping_ = false;
    // The sender thread's own: what consecutive frames share, and the buffer they are made in.
    Sensor sensor_;
    std::vector<uint8_t> frame_;
    std::thread thread_;
    clockid_t clock_{};  // the thread's CPU clock
    bool has_clock_ = false;
};

}  // namespace sim
