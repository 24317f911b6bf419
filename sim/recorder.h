// What the camera received and sent, kept for tests and tools to read. It has a lock of its own,
// always taken last: the camera's parts record while they hold the camera's lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/protocol.h"

namespace sim {

struct RegisterWrite {
    uint32_t number = 0;
    uint32_t value = 0;
    uint8_t bits = 0;  // the serial frame's length in bits
};

struct ItemWrite {
    uint8_t item = 0;
    uint8_t value = 0;
};

struct ProtocolError {
    uint8_t code = 0;  // byte 0 of the offending packet (0 when there was none)
    std::string what;
};

// A byte as error texts show it: "0x4A".
std::string HexByte(uint8_t value);

class Recorder {
  public:
    // ---- Kept by the camera ----
    void AddCommand(const Packet& packet);
    void AddRegisterWrite(const RegisterWrite& write);
    void AddItemWrite(const ItemWrite& write);
    void AddError(uint8_t code, std::string what);
    // A frame whose last byte went to the bus: `size` bytes from `bytes`.
    void AddSentFrame(uint64_t frame_number, const uint8_t* bytes, size_t size);

    // ---- Read by tests and tools ----
    std::vector<Packet> Commands() const;     // every command packet executed, in order
    std::vector<Packet> RawCommands() const;  // the raw commands among them
    std::vector<RegisterWrite> RegisterWrites() const;
    std::vector<ItemWrite> ItemWrites() const;
    std::vector<ProtocolError> ProtocolErrors() const;
    // Frame numbers of the frames sent completely, in order.
    std::vector<uint64_t> SentFrames() const;
    // Waits until `count` frames were sent completely or the time-out passes.
    bool WaitForSentFrames(size_t count, uint32_t timeout_ms) const;
    // Keeps the bytes of the last `count` frames sent completely (none by default).
    void KeepSentFrames(size_t count);
    // The bytes of a kept frame as the camera sent them; empty when that frame is not kept.
    std::vector<uint8_t> SentFrameBytes(uint64_t frame_number) const;
    // Forgets everything recorded; how many frames to keep stays.
    void Clear();

  private:
    using Guard = std::lock_guard<std::mutex>;

    template <typename T>
    void Append(std::vector<T>& records, T record) {
        Guard guard(mutex_);
        records.push_back(std::move(record));
    }
    template <typename T>
    std::vector<T> Copy(const std::vector<T>& records) const {
        Guard guard(mutex_);
        return records;
    }
    void TrimKeptLocked();

    mutable std::mutex mutex_;
    mutable std::condition_variable sent_;
    std::vector<Packet> commands_;
    std::vector<RegisterWrite> register_writes_;
    std::vector<ItemWrite> item_writes_;
    std::vector<ProtocolError> errors_;
    std::vector<uint64_t> sent_frames_;
    size_t keep_sent_ = 0;
    std::deque<std::pair<uint64_t, std::vector<uint8_t>>> kept_frames_;  // oldest first
};

}  // namespace sim
