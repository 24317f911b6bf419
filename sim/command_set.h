// The camera's command set: it decodes each command packet, keeps the sensor registers and camera
// items, and answers item queries and memory reads on the reply endpoint. Frame commands and a
// change of trigger mode it only recognises; the frame sender acts on them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>

#include "sim/faults.h"
#include "sim/link.h"
#include "sim/protocol.h"
#include "sim/recorder.h"

namespace sim {

// What the camera holds.
struct CameraState {
    uint8_t configuration = 0;  // 0: not configured
    bool awake = false;
    uint8_t clock_setting = kDefaultClockSetting;  // what a query of the clock item answers
    std::array<uint32_t, kRegisterCount> registers{};
    std::array<uint8_t, kItemCount> items{};

    // The raw frame size the frame-size items announce.
    uint32_t AnnouncedFrameSize() const;
    bool ExternalTrigger() const { return items[item::kTriggerMode] != 0; }
    // The value of the register pair that starts at `first`.
    uint32_t RegisterPair(uint32_t first) const;
};

// What a command asks of the frame sender.
enum class FrameCommand { kNone, kRequest, kGo, kTriggerModeChanged };

class CommandSet {
  public:
    CommandSet(Link& link, Recorder& recorder, Faults& faults)
        : link_(link), recorder_(recorder), faults_(faults) {}

    // Runs one whole command packet, with the camera's lock held.
    FrameCommand Execute(Link::Lock& lock, const Packet& packet);

    // Sends the reply packets held back whose delay has passed, as the host reads the reply pipe.
    void ReleaseLateReplies(Link::Lock& lock);

    const CameraState& state(const Link::Lock&) const { return state_; }
    void Configure(const Link::Lock&, uint8_t configuration) {
        state_.configuration = configuration;
    }
    void SetClockSetting(const Link::Lock&, uint8_t value) { state_.clock_setting = value; }

  private:
    void RequireZeroFrom(const Packet& packet, size_t first);
    void WriteRegister(const Packet& packet);
    void CaptureSetup(const Packet& packet);
    FrameCommand SetItem(const Packet& packet);
    void ReadMemory(Link::Lock& lock, const Packet& packet);
    // The two reply packets of a query: a status packet, then the answer.
    void Reply(Link::Lock& lock, uint8_t answer, uint8_t code);
    void SendReplyPacket(Link::Lock& lock, const Packet& packet);
    // A scripted reply in place of `packet`; false when the script is used up.
    bool SendScriptedReply(Link::Lock& lock, const Packet& packet);

    Link& link_;
    Recorder& recorder_;
    Faults& faults_;
    CameraState state_;
    struct LateReply {
        Packet packet;
        std::chrono::steady_clock::time_point due;
    };
    std::deque<LateReply> late_replies_;  // held back by the script, oldest first
};

}  // namespace sim
