#include "sim/recorder.h"

#include <chrono>

namespace sim {

std::string HexByte(uint8_t value) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    text += kDigits[value >> 4];
    text += kDigits[value & 0xF];
    return text;
}

void Recorder::AddCommand(const Packet& packet) {
    Append(commands_, packet);
}

void Recorder::AddRegisterWrite(const RegisterWrite& write) {
    Append(register_writes_, write);
}

void Recorder::AddItemWrite(const ItemWrite& write) {
    Append(item_writes_, write);
}

void Recorder::AddError(uint8_t code, std::string what) {
    Append(errors_, ProtocolError{code, std::move(what)});
}

void Recorder::AddSentFrame(uint64_t frame_number, const uint8_t* bytes, size_t size) {
    Guard guard(mutex_);
    sent_frames_.push_back(frame_number);
    if (keep_sent_ > 0) {
        kept_frames_.emplace_back(frame_number, std::vector<uint8_t>(bytes, bytes + size));
        TrimKeptLocked();
    }
    sent_.notify_all();
}

std::vector<Packet> Recorder::Commands() const {
    return Copy(commands_);
}

std::vector<Packet> Recorder::RawCommands() const {
    Guard guard(mutex_);
    std::vector<Packet> raw;
    for (const Packet& packet : commands_) {
        if (packet[0] == command::kRawCommand) {
            raw.push_back(packet);
        }
    }
    return raw;
}

std::vector<RegisterWrite> Recorder::RegisterWrites() const {
    return Copy(register_writes_);
}

std::vector<ItemWrite> Recorder::ItemWrites() const {
    return Copy(item_writes_);
}

std::vector<ProtocolError> Recorder::ProtocolErrors() const {
    return Copy(errors_);
}

std::vector<uint64_t> Recorder::SentFrames() const {
    return Copy(sent_frames_);
}

bool Recorder::WaitForSentFrames(size_t count, uint32_t timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return sent_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return sent_frames_.size() >= count; });
}

void Recorder::KeepSentFrames(size_t count) {
    Guard guard(mutex_);
    keep_sent_ = count;
    TrimKeptLocked();
}

std::vector<uint8_t> Recorder::SentFrameBytes(uint64_t frame_number) const {
    Guard guard(mutex_);
    for (const auto& [number, bytes] : kept_frames_) {
        if (number == frame_number) {
            return bytes;
        }
    }
    return {};
}

void Recorder::Clear() {
    Guard guard(mutex_);
    commands_.clear();
    register_writes_.clear();
    item_writes_.clear();
    errors_.clear();
    sent_frames_.clear();
    kept_frames_.clear();
}

void Recorder::TrimKeptLocked() {
    while (kept_frames_.size() > keep_sent_) {
        kept_frames_.pop_front();
    }
}

}  // namespace sim
