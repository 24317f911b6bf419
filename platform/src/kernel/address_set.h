// A set of block addresses in one flat table (open addressing, linear probing), so that finding a
// block costs one probe run in one array rather than a walk through separately allocated nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::kernel {

class AddressSet {
  public:
    // False when the address was already there.
    bool Insert(const void* address) {
        if ((used_ + 1) * 2 > slots_.size()) {
            Grow();
        }
        const uintptr_t key = (uintptr_t)address;
        size_t at = Home(key);
        size_t reuse = kNone;
        for (; slots_[at] != kEmpty; at = Next(at)) {
            if (slots_[at] == key) {
                return false;
            }
            if (slots_[at] == kRemoved && reuse == kNone) {
                reuse = at;
            }
        }
        if (reuse != kNone) {
            at = reuse;
        } else {
            ++used_;
        }
        slots_[at] = key;
        ++size_;
        return true;
    }
    bool Contains(const void* address) const { return Find((uintptr_t)address) != kNone; }
    // False when the address was not there.
    bool Erase(const void* address) {
        const size_t at = Find((uintptr_t)address);
        if (at == kNone) {
            return false;
        }
        slots_[at] = kRemoved;
        --size_;
        return true;
    }
    size_t size() const { return size_; }
    template <typename Visit>
    void ForEach(Visit visit) const {
        for (uintptr_t slot : slots_) {
            if (slot != kEmpty && slot != kRemoved) {
                visit((const void*)slot);
            }
        }
    }

  private:
    // Pool blocks are at least 16-byte aligned, so neither marker is ever an address.
    static constexpr uintptr_t kEmpty = 0;
    static constexpr uintptr_t kRemoved = 1;
    static constexpr size_t kNone = SIZE_MAX;

    size_t Home(uintptr_t key) const {
        // Fibonacci hashing spreads the aligned addresses over the whole table.
        return (size_t)(((uint64_t)key * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    size_t Next(size_t at) const { return (at + 1) & (slots_.size() - 1); }
    size_t Find(uintptr_t key) const {
        if (slots_.empty()) {
            return kNone;
        }
        for (size_t at = Home(key); slots_[at] != kEmpty; at = Next(at)) {
            if (slots_[at] == key) {
                return at;
            }
        }
        return kNone;
    }
    // Twice the live entries' room, at least; removed markers are dropped on the way.
    void Grow() {
        size_t capacity = 64;
        while (capacity < size_ * 4 + 4) {
            capacity *= 2;
        }
        std::vector<uintptr_t> old;
        old.swap(slots_);
        slots_.assign(capacity, kEmpty);
        shift_ = 64;
        for (size_t c = capacity; c > 1; c >>= 1) {
            --shift_;
        }
        used_ = 0;
        size_ = 0;
        for (uintptr_t slot : old) {
            if (slot != kEmpty && slot != kRemoved) {
                Insert((const void*)slot);
            }
        }
    }

    std::vector<uintptr_t> slots_;
    int shift_ = 64;
    size_t used_ = 0;  // entries and removed markers
    size_t size_ = 0;  // entries
};

}  // namespace platform::kernel
