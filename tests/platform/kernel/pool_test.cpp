// Pool tracking, leak reports, fault injection and the pool rules the verifier enforces.
#include <cstdint>
#include <cstdio>

#include "platform/kernel.h"
#include "tests/support/record_mode.h"

namespace {

using namespace platform::verifier;

constexpr POOL_TYPE kZeroed = (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION);
constexpr ULONG kTagA = TestTag("TsAa");
constexpr ULONG kTagB = TestTag("TsBb");

TEST(Pool, BlocksAreAlignedAndFilledAsAsked) {
    for (SIZE_T size : {SIZE_T(1), SIZE_T(17), SIZE_T(4096), SIZE_T(100000)}) {
        auto* zeroed = (unsigned char*)ExAllocatePoolWithTag(kZeroed, size, kTagA);
        auto* dirty = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagA);
        ASSERT_NE(zeroed, nullptr);
        ASSERT_NE(dirty, nullptr);
        EXPECT_EQ((uintptr_t)zeroed % 16, 0u);
        EXPECT_EQ((uintptr_t)dirty % 16, 0u);
        SIZE_T zero_bytes = 0;
        SIZE_T clear_dirty_bytes = 0;
        for (SIZE_T i = 0; i < size; ++i) {
            zero_bytes += zeroed[i] == 0 ? 1 : 0;
            clear_dirty_bytes += dirty[i] == 0 ? 1 : 0;
        }
        EXPECT_EQ(zero_bytes, size) << size;
        EXPECT_EQ(clear_dirty_bytes, 0u) << size;
        ExFreePoolWithTag(zeroed, kTagA);
        ExFreePool(dirty);
    }
}

class PoolVerifier : public RecordMode {};

TEST_F(PoolVerifier, LeaksAreReportedByTagSinceTheMark) {
    void* older = ExAllocatePoolWithTag(kZeroed, 10, kTagB);
    uint64_t mark = AllocationMark();
    void* leak1 = ExAllocatePoolWithTag(kZeroed, 24, kTagA);
    void* leak2 = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagA);
    void* freed = ExAllocatePoolWithTag(kZeroed, 99, kTagB);
    ExFreePoolWithTag(freed, kTagB);

    size_t outstanding = OutstandingBlocks();
    EXPECT_EQ(OutstandingBlocks(kTagA), 2u);
    EXPECT_EQ(FindLeaks(mark), std::vector<std::string>{"2 blocks of tag TsAa, 64 bytes"});
    EXPECT_EQ(ReportLeaks(mark, "device removed"), 2u);
    ExpectOneViolation({"device removed", "2 blocks of tag TsAa, 64 bytes"});

    void* leak3 = ExAllocatePoolWithTag(kZeroed, 1, kTagB);
    EXPECT_EQ(FindLeaks(mark), (std::vector<std::string>{"2 blocks of tag TsAa, 64 bytes",
                                                         "1 block of tag TsBb, 1 bytes"}));
    ExFreePoolWithTag(leak1, kTagA);
    ExFreePoolWithTag(leak2, kTagA);
    ExFreePoolWithTag(leak3, kTagB);
    EXPECT_EQ(OutstandingBlocks(), outstanding - 2);
    EXPECT_TRUE(FindLeaks(mark).empty());
    EXPECT_EQ(ReportLeaks(mark, "unload"), 0u);
    ExpectNoViolation();
    // A block from before the mark is the caller's older business, but it is still a block.
    EXPECT_EQ(FindLeaks(mark - 1), std::vector<std::string>{"1 block of tag TsBb, 10 bytes"});
    ExFreePoolWithTag(older, kTagB);
}

TEST_F(PoolVerifier, NthAllocationFailsExactly) {
    uint64_t failures = InjectedFailures();
    FailNthAllocation(3);
    void* first = ExAllocatePoolWithTag(kZeroed, 8, kTagA);
    void* second = ExAllocatePoolWithTag(kZeroed, 8, kTagB);
    void* third = ExAllocatePoolWithTag(kZeroed, 8, kTagA);
    void* fourth = ExAllocatePoolWithTag(kZeroed, 8, kTagA);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(InjectedFailures(), failures + 1);

    // 1 is the very next allocation; 0 disarms.
    FailNthAllocation(1);
    EXPECT_EQ(ExAllocatePoolWithTag(kZeroed, 8, kTagA), nullptr);
    FailNthAllocation(2);
    FailNthAllocation(0);
    void* fifth = ExAllocatePoolWithTag(kZeroed, 8, kTagA);
    void* sixth = ExAllocatePoolWithTag(kZeroed, 8, kTagA);
    EXPECT_NE(fifth, nullptr);
    EXPECT_NE(sixth, nullptr);
    EXPECT_EQ(InjectedFailures(), failures + 2);

    for (void* block : {first, fourth, fifth, sixth}) {
        ExFreePoolWithTag(block, kTagA);
    }
    ExFreePoolWithTag(second, kTagB);
}

TEST_F(PoolVerifier, TaggedAllocationsFailUntilCleared) {
    uint64_t failures = InjectedFailures();
    uint64_t mark = AllocationMark();
    FailAllocationsWithTag(kTagA);
    EXPECT_EQ(ExAllocatePoolWithTag(kZeroed, 8, kTagA), nullptr);
    void* other = ExAllocatePoolWithTag(kZeroed, 8, kTagB);
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 4096, kTagA), nullptr);
    EXPECT_EQ(InjectedFailures(), failures + 2);
    // Failed allocations still count as allocations.
    EXPECT_EQ(AllocationMark(), mark + 3);

    ClearFaults();
    void* again = ExAllocatePoolWithTag(kZeroed, 8, kTagA);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(InjectedFailures(), failures + 2);
    ExFreePoolWithTag(again, kTagA);
    ExFreePoolWithTag(other, kTagB);
}

TEST_F(PoolVerifier, BadFreesAreCaught) {
    void* block = ExAllocatePoolWithTag(kZeroed, 32, kTagA);
    ExFreePoolWithTag(block, kTagA);
    ExpectNoViolation();
    ExFreePoolWithTag(block, kTagA);
    ExpectOneViolation({"double free", "TsAa"});
    ExFreePool(block);
    ExpectOneViolation({"double free"});
    // Still recognised after much other pool traffic, which may reuse freed memory.
    void* early = ExAllocatePoolWithTag(kZeroed, 48, kTagA);
    ExFreePoolWithTag(early, kTagA);
    for (int i = 0; i < 2000; ++i) {
        ExFreePoolWithTag(ExAllocatePoolWithTag(kZeroed, 48, kTagB), kTagB);
    }
    ExFreePoolWithTag(early, kTagA);
    ExpectOneViolation({"double free"});

    void* tagged = ExAllocatePoolWithTag(kZeroed, 32, kTagA);
    size_t outstanding = OutstandingBlocks(kTagA);
    ExFreePoolWithTag(tagged, kTagB);
    ExpectOneViolation({"tag TsBb", "TsAa"});
    EXPECT_EQ(OutstandingBlocks(kTagA), outstanding - 1);

    int on_stack = 0;
    ExFreePoolWithTag(&on_stack, kTagA);
    ExpectOneViolation({"not a pool block"});
    void* inside = ExAllocatePoolWithTag(kZeroed, 64, kTagA);
    ExFreePoolWithTag((char*)inside + 16, kTagA);
    ExpectOneViolation({"not a pool block"});
    ExFreePoolWithTag(inside, kTagA);
    ExFreePool(nullptr);
    ExpectOneViolation({"null"});
}

TEST_F(PoolVerifier, PagedPoolIsRefusedAtDispatchLevel) {
    KIRQL old_irql;
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    void* nonpaged = ExAllocatePoolWithTag(kZeroed, 8, kTagA);
    ExpectNoViolation();
    void* paged = ExAllocatePoolWithTag(PagedPool, 8, kTagB);
    ExpectOneViolation({"paged pool", "TsBb", "IRQL 2"});
    ExFreePoolWithTag(nonpaged, kTagA);
    ExpectNoViolation();
    ExFreePoolWithTag(paged, kTagB);
    ExpectOneViolation({"paged pool freed at IRQL 2"});
    KeLowerIrql(old_irql);
}

#if defined(__SANITIZE_ADDRESS__)
// Under the address sanitizer the slack past a block and the quarantined blocks are poisoned, so
// the faulty access itself stops the program.
void WritePastTheEnd() {
    auto* block = (unsigned char*)ExAllocatePoolWithTag(kZeroed, 20, kTagA);
    block[20] = 1;
}
void ReadAfterFree() {
    auto* block = (volatile unsigned char*)ExAllocatePoolWithTag(kZeroed, 20, kTagA);
    ExFreePoolWithTag((void*)block, kTagA);
    std::printf("%d\n", block[3]);
}

TEST(PoolDeathTest, BadAccessesStopThePoisonedProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(WritePastTheEnd(), "use-after-poison");
    EXPECT_DEATH(ReadAfterFree(), "use-after-poison");
}
#else
TEST_F(PoolVerifier, WritesPastTheEndOrAfterTheFreeAreCaught) {
    auto* block = (unsigned char*)ExAllocatePoolWithTag(kZeroed, 20, kTagA);
    block[20] = 1;
    ExFreePoolWithTag(block, kTagA);
    ExpectOneViolation({"overrun", "TsAa"});
    block = (unsigned char*)ExAllocatePoolWithTag(kZeroed, 16, kTagA);
    block[31] = 1;
    ExFreePoolWithTag(block, kTagA);
    ExpectOneViolation({"overrun", "TsAa"});

    // Found when the block leaves the quarantine, pushed out by the small blocks freed after it;
    // a large block freed meanwhile, such as a frame image, queues apart and pushes out nothing.
    block = (unsigned char*)ExAllocatePoolWithTag(kZeroed, 40, kTagB);
    ExFreePoolWithTag(block, kTagB);
    block[39] = 0;
    for (int i = 0; i < 2; ++i)
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8u << 20, kTagA), kTagA);
    ExpectNoViolation();
    // Over a megabyte of blocks of about a kilobyte: more than the quarantine holds.
    for (int i = 0; i < 1100; ++i)
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 1000, kTagA), kTagA);
    ExpectOneViolation({"use after free", "TsBb", "40 bytes"});
}
#endif

}  // namespace
