// A fuzz input read as a little program: each step takes its operation and its operands from the
// front of the bytes. Past the end every read gives zeros, so any input is a whole program.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace camfuzz {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return offset_ >= size_; }
    size_t remaining() const { return size_ - offset_; }

    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t U16() { return (uint16_t)(Byte() | Byte() << 8); }
    uint32_t U32() { return (uint32_t)U16() | (uint32_t)U16() << 16; }
    // One of `count` choices.
    uint32_t Choice(uint32_t count) { return count == 0 ? 0 : Byte() % count; }

    // Up to `count` bytes, zero-padded when the input ends first.
    std::vector<uint8_t> Bytes(size_t count) {
        std::vector<uint8_t> out(count, 0);
        const size_t taken = std::min(count, remaining());
        if (taken > 0) {
            std::memcpy(out.data(), data_ + offset_, taken);
            offset_ += taken;
        }
        return out;
    }
    // The rest of the input.
    std::vector<uint8_t> Rest() { return Bytes(remaining()); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace camfuzz
