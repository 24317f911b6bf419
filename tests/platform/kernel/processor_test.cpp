// Processor features and the extended-state save around 256-bit work.
#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "record_mode.h"

namespace {

using ExtendedStateTest = RecordMode;

TEST_F(ExtendedStateTest, FeaturesFollowTheProcessor) {
    EXPECT_EQ(ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) != FALSE,
              __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(ExIsProcessorFeaturePresent(12345), FALSE);
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

}  // namespace
