// The tracked pool: every block carries a record of its size, tag and allocation sequence number
// in front of it, and one flat set holds the addresses of the blocks in use and in quarantine, so
// that leaks, double frees, foreign pointers, tag mismatches and writes after a free can be
// reported, and allocations can be failed on request.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "address_set.h"
#include "kernel_internal.h"
#include "platform/verifier.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define CAM_POOL_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define CAM_POOL_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#define CAM_POOL_ASAN 1
#else
#define CAM_POOL_POISON(address, size) ((void)(address), (void)(size))
#define CAM_POOL_UNPOISON(address, size) ((void)(address), (void)(size))
#define CAM_POOL_ASAN 0
#endif

namespace {

using platform::kernel::AddressSet;
using platform::verifier::TagName;
using platform::verifier::Violation;

constexpr size_t kAlignment = 16;
// Bytes past the end of every block that must stay untouched; checked when the block is freed.
constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xFB;
// Blocks not asked to be zeroed come back with this, so that code that forgets to clear is caught.
constexpr unsigned char kUninitialisedFill = 0xA5;
// Freed blocks are filled with this and kept (inaccessible under the address sanitizer) before
// their memory goes back to the C library, so that a second free of the same pointer is still
// recognised, and a write after the free is found when the block leaves. The bound is in bytes:
// a megabyte keeps the last five thousand or so small blocks, a stream's last thirty-odd frames of
// transfers. Until it is full nothing freed is reused and the heap grows a page at a time, which
// costs each frame read more than the checks do: a megabyte fills within those first frames, and
// the memory the next allocations get back is still warm. Blocks above kLargeBlock (frame images
// and the like) queue apart under the same bound, so that the few a stream frees when it stops do
// not push out the thousands of small ones.
constexpr unsigned char kFreedFill = 0xDD;
constexpr size_t kQuarantineBytes = 1u << 20;
constexpr size_t kLargeBlock = kQuarantineBytes / 16;

enum class State : uint32_t { kLive = 0x4C495645, kQuarantined = 0x51554152 };

// In front of every block; its size keeps the block aligned.
struct alignas(kAlignment) Header {
    State state;
    ULONG tag;
    bool paged;
    size_t size;
    size_t capacity;  // size rounded up to the alignment, plus the guard
    uint64_t sequence;
    Header* next_quarantined;  // the next younger block in its quarantine queue
};
static_assert(sizeof(Header) % kAlignment == 0);
static_assert(alignof(std::max_align_t) >= kAlignment, "the C library's blocks must be aligned");

Header* HeaderOf(const void* block) {
    return (Header*)((unsigned char*)block - sizeof(Header));
}

unsigned char* BlockOf(Header* header) {
    return (unsigned char*)header + sizeof(Header);
}

// The header is poisoned under the address sanitizer whenever the pool is not reading it, so that
// a write before a block is caught where it happens.
Header ReadHeader(const void* block) {
    Header* header = HeaderOf(block);
    CAM_POOL_UNPOISON(header, sizeof(Header));
    const Header copy = *header;
    CAM_POOL_POISON(header, sizeof(Header));
    return copy;
}

void WriteHeader(const void* block, const Header& value) {
    Header* header = HeaderOf(block);
    CAM_POOL_UNPOISON(header, sizeof(Header));
    *header = value;
    CAM_POOL_POISON(header, sizeof(Header));
}

// Freed blocks oldest first, linked through their headers.
struct QuarantineQueue {
    Header* oldest = nullptr;
    Header* youngest = nullptr;
    size_t bytes = 0;
};

struct Pool {
    std::mutex lock;
    AddressSet blocks;  // in use and in quarantine; the header says which
    size_t live = 0;
    QuarantineQueue small_blocks;
    QuarantineQueue large_blocks;
    uint64_t allocations = 0;
    uint64_t fail_countdown = 0;
    std::set<ULONG> failing_tags;
    uint64_t injected_failures = 0;
    unsigned char uninitialised_fill = kUninitialisedFill;
};

Pool& ThePool() {
    // Never destroyed: threads and static records may still free blocks while the process exits.
    static Pool* pool = new Pool;
    return *pool;
}

// Every block in use, with its record.
template <typename Visit>
void ForEachLive(const Pool& pool, Visit visit) {
    pool.blocks.ForEach([&](const void* block) {
        const Header header = ReadHeader(block);
        if (header.state == State::kLive) {
            visit(block, header);
        }
    });
}

std::string Describe(const void* address, const Header& block) {
    char text[160];
    std::snprintf(text, sizeof(text), "block %p of tag %s (%zu bytes, allocation #%llu)", address,
                  TagName(block.tag).c_str(), block.size, (unsigned long long)block.sequence);
    return text;
}

// Whether every one of `count` bytes is `value`, a word at a time where it can.
bool AllBytesAre(const unsigned char* bytes, size_t count, unsigned char value) {
    uint64_t word;
    std::memset(&word, value, sizeof(word));
    size_t i = 0;
    for (; i + sizeof(word) <= count; i += sizeof(word)) {
        uint64_t here;
        std::memcpy(&here, bytes + i, sizeof(here));
        if (here != word) {
            return false;
        }
    }
    for (; i < count; ++i) {
        if (bytes[i] != value) {
            return false;
        }
    }
    return true;
}

void CheckGuard(const void* address, const Header& block) {
    if (CAM_POOL_ASAN) {
        return;  // the sanitizer already stopped any write into the poisoned tail
    }
    const unsigned char* bytes = (const unsigned char*)address;
    if (!AllBytesAre(bytes + block.size, block.capacity - block.size, kGuardFill)) {
        Violation("pool overrun: " + Describe(address, block) + " was written past its end");
    }
}

// The queue's oldest block leaves the quarantine and goes back to the C library.
void ReleaseOldest(Pool& pool, QuarantineQueue& queue) {
    Header* header = queue.oldest;
    const unsigned char* block = BlockOf(header);
    const Header record = ReadHeader(block);
    queue.oldest = record.next_quarantined;
    if (queue.oldest == nullptr) {
        queue.youngest = nullptr;
    }
    queue.bytes -= record.capacity;
    pool.blocks.Erase(block);
    // Under the address sanitizer a write after the free has already stopped the program.
    if (!CAM_POOL_ASAN && !AllBytesAre(block, record.capacity, kFreedFill)) {
        Violation("pool use after free: " + Describe(block, record) +
                  " was written after it was freed");
    }
    CAM_POOL_UNPOISON(header, sizeof(Header) + record.capacity);
    std::free(header);
}

void Quarantine(Pool& pool, const void* address, Header record) {
    CAM_POOL_UNPOISON(address, record.capacity);
    std::memset((void*)address, kFreedFill, record.capacity);
    CAM_POOL_POISON(address, record.capacity);
    record.state = State::kQuarantined;
    record.next_quarantined = nullptr;
    WriteHeader(address, record);
    Header* header = HeaderOf(address);
    QuarantineQueue& queue = record.capacity > kLargeBlock ? pool.large_blocks : pool.small_blocks;
    if (queue.youngest != nullptr) {
        Header younger = ReadHeader(BlockOf(queue.youngest));
        younger.next_quarantined = header;
        WriteHeader(BlockOf(queue.youngest), younger);
    } else {
        queue.oldest = header;
    }
    queue.youngest = header;
    queue.bytes += record.capacity;
    // The block just freed stays, however large, so that its own second free is always caught.
    while (queue.oldest != header && queue.bytes > kQuarantineBytes) {
        ReleaseOldest(pool, queue);
    }
}

// Returns true when the allocation is to fail by request.
bool InjectFault(Pool& pool, ULONG tag) {
    bool fail = false;
    if (pool.fail_countdown != 0 && --pool.fail_countdown == 0) {
        fail = true;
    }
    if (pool.failing_tags.count(tag) != 0) {
        fail = true;
    }
    if (fail) {
        ++pool.injected_failures;
    }
    return fail;
}

void FreeBlock(PVOID block, bool check_tag, ULONG tag) {
    if (block == nullptr) {
        Violation("pool free of a null pointer");
        return;
    }
    KIRQL irql = KeGetCurrentIrql();
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    if (!pool.blocks.Contains(block)) {
        char text[96];
        std::snprintf(text, sizeof(text), "pool free of %p, which is not a pool block", block);
        Violation(text);
        return;
    }
    const Header record = ReadHeader(block);
    if (record.state == State::kQuarantined) {
        Violation("pool double free: " + Describe(block, record));
        return;
    }
    if (check_tag && record.tag != tag) {
        Violation("pool free with tag " + TagName(tag) + " of " + Describe(block, record));
    }
    if (record.paged && irql > APC_LEVEL) {
        Violation("paged pool freed at IRQL " + std::to_string(irql) + ": " +
                  Describe(block, record));
    }
    CheckGuard(block, record);
    --pool.live;
    Quarantine(pool, block, record);
}

}  // namespace

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE pool_type, SIZE_T number_of_bytes, ULONG tag) {
    bool zero = (pool_type & POOL_ZERO_ALLOCATION) != 0;
    int base = pool_type & ~POOL_ZERO_ALLOCATION;
    bool paged = (base & PagedPool) != 0;
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (paged && irql > APC_LEVEL)) {
        Violation(std::string(paged ? "paged" : "non-paged") + " pool allocation of tag " +
                  TagName(tag) + " at IRQL " + std::to_string(irql));
    }

    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    uint64_t sequence = ++pool.allocations;
    if (InjectFault(pool, tag)) {
        return nullptr;
    }
    if (number_of_bytes > SIZE_MAX - kAlignment - kGuardBytes) {
        return nullptr;
    }
    size_t rounded = (number_of_bytes + kAlignment - 1) / kAlignment * kAlignment;
    size_t capacity = rounded + kGuardBytes;
    auto* header = (Header*)std::malloc(sizeof(Header) + capacity);
    if (header == nullptr) {
        return nullptr;
    }
    unsigned char* memory = BlockOf(header);
    std::memset(memory, zero ? 0 : pool.uninitialised_fill, number_of_bytes);
    std::memset(memory + number_of_bytes, kGuardFill, capacity - number_of_bytes);
    CAM_POOL_POISON(memory + number_of_bytes, capacity - number_of_bytes);
    WriteHeader(memory,
                Header{State::kLive, tag, paged, number_of_bytes, capacity, sequence, nullptr});
    // The C library may hand out again an address that has left the quarantine.
    pool.blocks.Insert(memory);
    ++pool.live;
    return memory;
}

VOID NTAPI ExFreePoolWithTag(PVOID block, ULONG tag) {
    FreeBlock(block, true, tag);
}

VOID NTAPI ExFreePool(PVOID block) {
    FreeBlock(block, false, 0);
}

namespace platform::verifier {

uint64_t AllocationMark() {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.allocations;
}

size_t OutstandingBlocks() {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.live;
}

size_t OutstandingBlocks(ULONG tag) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    size_t count = 0;
    ForEachLive(pool, [&](const void*, const Header& block) { count += block.tag == tag ? 1 : 0; });
    return count;
}

namespace {

struct LeakSummary {
    size_t blocks = 0;
    size_t bytes = 0;
};

// Leaked blocks per tag, ordered by the tag's name so that reports read the same every run.
std::map<std::string, LeakSummary> SummariseLeaks(uint64_t mark) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    std::map<std::string, LeakSummary> by_tag;
    ForEachLive(pool, [&](const void*, const Header& block) {
        if (block.sequence > mark) {
            LeakSummary& summary = by_tag[TagName(block.tag)];
            ++summary.blocks;
            summary.bytes += block.size;
        }
    });
    return by_tag;
}

std::vector<std::string> LeakLines(const std::map<std::string, LeakSummary>& by_tag) {
    std::vector<std::string> lines;
    for (const auto& [name, summary] : by_tag) {
        lines.push_back(std::to_string(summary.blocks) +
                        (summary.blocks == 1 ? " block of tag " : " blocks of tag ") + name + ", " +
                        std::to_string(summary.bytes) + " bytes");
    }
    return lines;
}

}  // namespace

std::vector<std::string> FindLeaks(uint64_t mark) {
    return LeakLines(SummariseLeaks(mark));
}

size_t ReportLeaks(uint64_t mark, const std::string& context) {
    std::map<std::string, LeakSummary> by_tag = SummariseLeaks(mark);
    size_t leaked = 0;
    for (const auto& [name, summary] : by_tag) {
        leaked += summary.blocks;
    }
    if (leaked != 0) {
        std::string message;
        for (const std::string& line : LeakLines(by_tag)) {
            message += (message.empty() ? "" : "; ") + line;
        }
        Violation("pool leak (" + context + "): " + message);
    }
    return leaked;
}

void FailNthAllocation(uint64_t n) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.fail_countdown = n;
}

void FailAllocationsWithTag(ULONG tag) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.failing_tags.insert(tag);
}

void ClearFaults() {
    platform::kernel::ClearProcessorFaults();
    platform::kernel::ClearObjectFaults();
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.fail_countdown = 0;
    pool.failing_tags.clear();
    pool.uninitialised_fill = kUninitialisedFill;
}

void SetUninitialisedFill(unsigned char fill) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.uninitialised_fill = fill;
}

uint64_t InjectedFailures() {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.injected_failures;
}

}  // namespace platform::verifier
