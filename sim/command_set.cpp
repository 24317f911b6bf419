#include "sim/command_set.h"

#include <algorithm>
#include <string>

#include "sim/device_memory.h"
#include "sim/register_frame.h"

namespace sim {

uint32_t CameraState::AnnouncedFrameSize() const {
    uint32_t size = 0;
    for (uint8_t i = 0; i < item::kFrameSizeItems; ++i) {
        size |= uint32_t{items[item::kFrameSize + i]} << (8 * i);
    }
    return size;
}

uint32_t CameraState::RegisterPair(uint32_t first) const {
    return registers[first] + (registers[first + 1] << kPairLowBits);
}

FrameCommand CommandSet::Execute(Link::Lock& lock, const Packet& packet) {
    recorder_.AddCommand(packet);
    const uint8_t code = packet[0];
    switch (code) {
        case command::kFrameRequest:
            RequireZeroFrom(packet, kArgument);
            return FrameCommand::kRequest;
        case command::kGo:
            RequireZeroFrom(packet, kArgument);
            return FrameCommand::kGo;
        case command::kRegisterWrite:
            RequireZeroFrom(packet, kRegisterWriteEnd);
            WriteRegister(packet);
            break;
        case command::kWake:
            RequireZeroFrom(packet, kArgument);
            state_.awake = true;
            break;
        case command::kCaptureSetup:
            CaptureSetup(packet);
            break;
        case command::kItemSet:
            RequireZeroFrom(packet, kItemSetEnd);
            return SetItem(packet);
        case command::kItemQuery: {
            RequireZeroFrom(packet, kItemQueryEnd);
            const uint8_t item = packet[kItemByte];
            Reply(lock, item == item::kClock ? state_.clock_setting : state_.items[item], code);
            break;
        }
        case command::kRawCommand:
            break;  // recorded, and nothing else
        case command::kMemoryRead:
            ReadMemory(lock, packet);
            break;
        default:
            recorder_.AddError(code, "unknown command " + HexByte(code));
            break;
    }
    return FrameCommand::kNone;
}

void CommandSet::RequireZeroFrom(const Packet& packet, size_t first) {
    for (size_t i = first; i < kPacketSize; ++i) {
        if (packet[i] != 0) {
            recorder_.AddError(packet[0], "command " + HexByte(packet[0]) + " has nonzero byte " +
                                              std::to_string(i));
            return;
        }
    }
}

void CommandSet::WriteRegister(const Packet& packet) {
    const DecodedRegisterWrite write = DecodeRegisterWrite(packet.data());
    if (!write.ok) {
        recorder_.AddError(packet[0], write.error);
        return;
    }
    state_.registers[write.number] = write.value;
    recorder_.AddRegisterWrite({write.number, write.value, write.bits});
}

void CommandSet::CaptureSetup(const Packet& packet) {
    if (packet[kArgument] != kCaptureSetupArgument) {
        recorder_.AddError(packet[0], "capture set-up with argument " + HexByte(packet[kArgument]));
    }
    RequireZeroFrom(packet, kCaptureSetupEnd);
}

FrameCommand CommandSet::SetItem(const Packet& packet) {
    const uint8_t item = packet[kItemByte];
    const uint8_t value = packet[kItemValueByte];
    state_.items[item] = value;
    recorder_.AddItemWrite({item, value});
    if (item == item::kClock) {
        state_.clock_setting = value;
    } else if (item == item::kTriggerMode) {
        return FrameCommand::kTriggerModeChanged;
    }
    return FrameCommand::kNone;
}

void CommandSet::ReadMemory(Link::Lock& lock, const Packet& packet) {
    if (!std::equal(kMemoryReadHeader.begin(), kMemoryReadHeader.end(),
                    packet.begin() + kArgument)) {
        recorder_.AddError(packet[0], "memory read with a malformed header");
    }
    RequireZeroFrom(packet, kMemoryReadEnd);
    const uint32_t address =
        (uint32_t{packet[kMemoryAddressByte]} << 8) | packet[kMemoryAddressByte + 1];
    // Answered even when malformed: the host waits for its replies without a time-out.
    Reply(lock, DeviceMemoryByte(address), packet[0]);
}

void CommandSet::Reply(Link::Lock& lock, uint8_t answer, uint8_t code) {
    Packet status{};
    status[0] = static_cast<uint8_t>(answer ^ kStatusInvert);
    status[kStatusCodeByte] = code;
    status[kStatusMarkerByte] = kStatusMarker;
    Packet reply{};
    reply[0] = answer;
    SendReplyPacket(lock, status);
    SendReplyPacket(lock, reply);
}

void CommandSet::ReleaseLateReplies(Link::Lock& lock) {
    const auto now = std::chrono::steady_clock::now();
    while (!late_replies_.empty() && late_replies_.front().due <= now) {
        link_.SendIn(lock, kReplyEndpoint, late_replies_.front().packet.data(), kPacketSize);
        late_replies_.pop_front();
    }
}

bool CommandSet::SendScriptedReply(Link::Lock& lock, const Packet& packet) {
    if (faults_.replies.empty()) {
        return false;
    }
    const ScriptedReply reply = faults_.replies.front();
    faults_.replies.pop_front();
    switch (reply.kind) {
        case ReplyFault::kWithheld:
            break;
        case ReplyFault::kLate:
            late_replies_.push_back({packet, std::chrono::steady_clock::now() +
                                                 std::chrono::milliseconds(reply.delay_ms)});
            break;
        case ReplyFault::kBytes:
            link_.SendIn(lock, kReplyEndpoint, reply.bytes.data(), (uint32_t)reply.bytes.size());
            break;
        case ReplyFault::kError:
            link_.FailIn(lock, kReplyEndpoint, reply.status);
            break;
    }
    return true;
}

void CommandSet::SendReplyPacket(Link::Lock& lock, const Packet& packet) {
    if (SendScriptedReply(lock, packet)) {
        return;
    }
    EndpointFaults& faults = faults_.reply;
    if (faults.stalled) {
        return;  // the host's read stalls instead, as it is queued
    }
    if (!faults.next.Take()) {
        link_.SendIn(lock, kReplyEndpoint, packet.data(), kPacketSize);
    } else if (faults.next.kind == TransferFault::kError) {
        link_.FailIn(lock, kReplyEndpoint, faults.next.status);
    } else {
        link_.SendIn(lock, kReplyEndpoint, packet.data(), ShortLength(kPacketSize));
    }
}

}  // namespace sim
