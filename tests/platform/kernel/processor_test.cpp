// Processor features and the extended-state save around 256- and 512-bit work.
#include <gtest/gtest.h>

#include <immintrin.h>

#include "platform/kernel.h"
#include "tests/support/record_mode.h"
#include "tests/support/state_watch.h"

namespace {

using platform::verifier::ExtendedStateWatch;

using ExtendedStateTest = RecordMode;

bool Has512() {
    return __builtin_cpu_supports("avx512f");
}

// Works in 512-bit registers without a call, so that a sample finds them in use.
__attribute__((target("avx512f"), noinline)) int BusyIn512BitRegisters() {
    __m512i value = _mm512_set1_epi32(3);
    for (int i = 0; i < (1 << 18); ++i)
        value = _mm512_add_epi32(_mm512_mullo_epi32(value, value), _mm512_set1_epi32(i));
    return _mm512_reduce_or_epi32(value);
}

TEST_F(ExtendedStateTest, FeaturesFollowTheProcessorUnlessHidden) {
    EXPECT_EQ(ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) != FALSE,
              __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(ExIsProcessorFeaturePresent(PF_AVX512F_INSTRUCTIONS_AVAILABLE) != FALSE, Has512());
    EXPECT_EQ(ExIsProcessorFeaturePresent(12345), FALSE);
    XSTATE_SAVE save;
    const ULONG64 wide = XSTATE_MASK_AVX | XSTATE_MASK_AVX512;
    if (Has512()) {
        ASSERT_EQ(KeSaveExtendedProcessorState(wide, &save), STATUS_SUCCESS);
        KeRestoreExtendedProcessorState(&save);
    }
    // A hidden feature is one the system does not enable: its state cannot be saved either.
    platform::verifier::HideProcessorFeature(PF_AVX512F_INSTRUCTIONS_AVAILABLE);
    EXPECT_EQ(ExIsProcessorFeaturePresent(PF_AVX512F_INSTRUCTIONS_AVAILABLE), FALSE);
    EXPECT_EQ(KeSaveExtendedProcessorState(wide, &save), STATUS_INVALID_PARAMETER);
    platform::verifier::ClearFaults();
    EXPECT_EQ(ExIsProcessorFeaturePresent(PF_AVX512F_INSTRUCTIONS_AVAILABLE) != FALSE, Has512());
    ExpectNoViolation();
}

TEST_F(ExtendedStateTest, SavesNestAndRestoreNewestFirst) {
    XSTATE_SAVE outer;
    XSTATE_SAVE inner;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&inner);
    KeLowerIrql(irql);
    KeRestoreExtendedProcessorState(&outer);
    ExpectNoViolation();
    EXPECT_EQ(KeSaveExtendedProcessorState(1ULL << 40, &outer), STATUS_INVALID_PARAMETER);
}

TEST_F(ExtendedStateTest, InjectedSaveFailuresAreLogged) {
    platform::verifier::TakeExtendedStateSaves();
    XSTATE_SAVE save;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&save);
    platform::verifier::FailExtendedStateSaves(XSTATE_MASK_AVX);
    EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save), STATUS_INSUFFICIENT_RESOURCES);
    // A failed save is no save: restoring it is a violation.
    KeRestoreExtendedProcessorState(&save);
    ExpectOneViolation({"without a matching save"});
    const auto log = platform::verifier::TakeExtendedStateSaves();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].mask, XSTATE_MASK_AVX);
    EXPECT_TRUE(log[0].succeeded);
    EXPECT_FALSE(log[1].succeeded);
}

TEST_F(ExtendedStateTest, RestoringOutOfOrderOrWithoutASaveIsAViolation) {
    XSTATE_SAVE first;
    XSTATE_SAVE second;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &first), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &second), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&first);
    ExpectOneViolation({"out of order"});
    // The older restore ended the newer save too.
    KeRestoreExtendedProcessorState(&second);
    ExpectOneViolation({"without a matching save"});
    XSTATE_SAVE never_saved{};
    KeRestoreExtendedProcessorState(&never_saved);
    ExpectOneViolation({"without a matching save"});
}

TEST_F(ExtendedStateTest, WatchCatchesUnsaved512BitWork) {
    if (!ExtendedStateWatch::Available())
        GTEST_SKIP() << "the watch cannot sample here (no 512-bit registers, or thread sanitizer)";
    struct Case {
        ULONG64 mask;  // 0: no save
        bool violation;
    };
    for (const Case& c : {Case{0, true}, Case{XSTATE_MASK_AVX, true},
                          Case{XSTATE_MASK_AVX | XSTATE_MASK_AVX512, false}}) {
        XSTATE_SAVE save;
        if (c.mask != 0)
            ASSERT_EQ(KeSaveExtendedProcessorState(c.mask, &save), STATUS_SUCCESS);
        {
            ExtendedStateWatch watch;
            volatile int sink = 0;
            ASSERT_TRUE(RunUntilSampledInUse(watch, [&] { sink = BusyIn512BitRegisters(); }));
        }
        if (c.mask != 0)
            KeRestoreExtendedProcessorState(&save);
        if (c.violation) {
            ExpectOneViolation({"512-bit registers in use", "XSTATE_MASK_AVX512"});
        } else {
            ExpectNoViolation();
        }
    }
}

}  // namespace
