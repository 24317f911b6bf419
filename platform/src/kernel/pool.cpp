// The tracked pool: every block is recorded with its size, tag and allocation sequence number, so
// that leaks, double frees, foreign pointers and tag mismatches can be reported, and allocations
// can be failed on request.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

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

using platform::verifier::TagName;
using platform::verifier::Violation;

constexpr size_t kAlignment = 16;
// Bytes past the end of every block that must stay untouched; checked when the block is freed.
constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xFB;
// Blocks not asked to be zeroed come back with this, so that code that forgets to clear is caught.
constexpr unsigned char kUninitialisedFill = 0xA5;
constexpr unsigned char kFreedFill = 0xDD;
// Freed blocks are kept (inaccessible under the address sanitizer) before their memory goes back
// to the C library, so that a second free of the same pointer is still recognised.
constexpr size_t kQuarantineBlocks = 8192;
constexpr size_t kQuarantineBytes = 64u << 20;

struct Block {
    size_t size;
    size_t capacity;  // size rounded up to the alignment, plus the guard
    ULONG tag;
    bool paged;
    uint64_t sequence;
};

struct Pool {
    std::mutex lock;
    std::unordered_map<const void*, Block> live;
    std::unordered_map<const void*, Block> quarantined;
    std::deque<const void*> quarantine_order;
    size_t quarantine_bytes = 0;
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

std::string Describe(const void* address, const Block& block) {
    char text[160];
    std::snprintf(text, sizeof(text), "block %p of tag %s (%zu bytes, allocation #%llu)", address,
                  TagName(block.tag).c_str(), block.size, (unsigned long long)block.sequence);
    return text;
}

void CheckGuard(const void* address, const Block& block) {
    if (CAM_POOL_ASAN) {
        return;  // the sanitizer already stopped any write into the poisoned tail
    }
    const unsigned char* bytes = (const unsigned char*)address;
    for (size_t i = block.size; i < block.capacity; ++i) {
        if (bytes[i] != kGuardFill) {
            Violation("pool overrun: " + Describe(address, block) + " was written past its end");
            return;
        }
    }
}

void Quarantine(Pool& pool, const void* address, const Block& block) {
    CAM_POOL_UNPOISON(address, block.capacity);
    std::memset((void*)address, kFreedFill, block.capacity);
    CAM_POOL_POISON(address, block.capacity);
    pool.quarantined.emplace(address, block);
    pool.quarantine_order.push_back(address);
    pool.quarantine_bytes += block.capacity;
    while (pool.quarantine_order.size() > 1 && (pool.quarantine_order.size() > kQuarantineBlocks ||
                                                pool.quarantine_bytes > kQuarantineBytes)) {
        const void* oldest = pool.quarantine_order.front();
        pool.quarantine_order.pop_front();
        auto found = pool.quarantined.find(oldest);
        pool.quarantine_bytes -= found->second.capacity;
        CAM_POOL_UNPOISON(oldest, found->second.capacity);
        pool.quarantined.erase(found);
        std::free((void*)oldest);
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
    auto found = pool.live.find(block);
    if (found == pool.live.end()) {
        auto freed = pool.quarantined.find(block);
        if (freed != pool.quarantined.end()) {
            Violation("pool double free: " + Describe(block, freed->second));
        } else {
            char text[96];
            std::snprintf(text, sizeof(text), "pool free of %p, which is not a pool block", block);
            Violation(text);
        }
        return;
    }
    Block record = found->second;
    if (check_tag && record.tag != tag) {
        Violation("pool free with tag " + TagName(tag) + " of " + Describe(block, record));
    }
    if (record.paged && irql > APC_LEVEL) {
        Violation("paged pool freed at IRQL " + std::to_string(irql) + ": " +
                  Describe(block, record));
    }
    CheckGuard(block, record);
    pool.live.erase(found);
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
    void* memory = nullptr;
    if (posix_memalign(&memory, kAlignment, capacity) != 0) {
        return nullptr;
    }
    std::memset(memory, zero ? 0 : pool.uninitialised_fill, number_of_bytes);
    std::memset((unsigned char*)memory + number_of_bytes, kGuardFill, capacity - number_of_bytes);
    CAM_POOL_POISON((unsigned char*)memory + number_of_bytes, capacity - number_of_bytes);
    // The C library may hand out again an address that has left the quarantine.
    pool.live[memory] = Block{number_of_bytes, capacity, tag, paged, sequence};
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
    return pool.live.size();
}

size_t OutstandingBlocks(ULONG tag) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    size_t count = 0;
    for (const auto& [address, block] : pool.live) {
        count += block.tag == tag ? 1 : 0;
    }
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
    for (const auto& [address, block] : pool.live) {
        if (block.sequence > mark) {
            LeakSummary& summary = by_tag[TagName(block.tag)];
            ++summary.blocks;
            summary.bytes += block.size;
        }
    }
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
