// IRQL tracking, spin locks, critical regions and the blocking-wait rule.
#include <thread>

#include "platform/kernel.h"
#include "tests/support/record_mode.h"

namespace {

LARGE_INTEGER Relative(int ms) {
    LARGE_INTEGER value;
    value.QuadPart = -ms * 10000LL;
    return value;
}

TEST(Irql, IsTrackedPerThread) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old_irql = 0xFF;
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    EXPECT_EQ(old_irql, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL other = 0xFF;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    KeLowerIrql(old_irql);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(SpinLock, RaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL apc;
    KeRaiseIrql(APC_LEVEL, &apc);
    KIRQL old_irql = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(old_irql, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old_irql);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(apc);
}

TEST(SpinLock, ExcludesASecondThread) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    // Plain fields: only the lock orders the two threads' accesses.
    long counter = 0;
    int inside = 0;
    int overlaps = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old_irql = KeAcquireSpinLockRaiseToDpc(&lock);
            if (++inside != 1) {
                ++overlaps;
            }
            long seen = counter;
            if (i % 512 == 0) {
                std::this_thread::yield();  // widen the window a broken lock would leave open
            }
            counter = seen + 1;
            --inside;
            KeReleaseSpinLock(&lock, old_irql);
        }
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_EQ(overlaps, 0);
}

class IrqlVerifier : public RecordMode {};

TEST_F(IrqlVerifier, WrongDirectionsAreViolations) {
    KIRQL old_irql;
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);
    ExpectOneViolation({"KeRaiseIrql"});
    KeRaiseIrql(DISPATCH_LEVEL, &ignored);
    KeLowerIrql(PASSIVE_LEVEL);
    ExpectNoViolation();
    KeLowerIrql(DISPATCH_LEVEL);
    ExpectOneViolation({"KeLowerIrql"});
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlVerifier, SpinLockMisuseIsCaught) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    ExpectOneViolation({"not held"});

    KIRQL old_irql = KeAcquireSpinLockRaiseToDpc(&lock);
    // A second acquire by the holder would spin for ever.
    KeAcquireSpinLockRaiseToDpc(&lock);
    ExpectOneViolation({"again"});
    std::thread([&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }).join();
    ExpectOneViolation({"another thread"});
    KeReleaseSpinLock(&lock, old_irql);
    ExpectNoViolation();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlVerifier, NestedSpinLocksKeepDispatchLevelUntilTheLast) {
    KSPIN_LOCK outer;
    KSPIN_LOCK inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    KIRQL outer_irql = KeAcquireSpinLockRaiseToDpc(&outer);
    KIRQL inner_irql = KeAcquireSpinLockRaiseToDpc(&inner);
    EXPECT_EQ(inner_irql, DISPATCH_LEVEL);
    KeReleaseSpinLock(&inner, inner_irql);
    KeReleaseSpinLock(&outer, outer_irql);
    ExpectNoViolation();

    // Releasing in the wrong order hands the inner lock's holder PASSIVE_LEVEL.
    outer_irql = KeAcquireSpinLockRaiseToDpc(&outer);
    inner_irql = KeAcquireSpinLockRaiseToDpc(&inner);
    KeReleaseSpinLock(&outer, outer_irql);
    ExpectOneViolation({"another spin lock is held"});
    KeRaiseIrql(DISPATCH_LEVEL, &inner_irql);
    KeReleaseSpinLock(&inner, PASSIVE_LEVEL);
    ExpectNoViolation();

    outer_irql = KeAcquireSpinLockRaiseToDpc(&outer);
    KeLowerIrql(PASSIVE_LEVEL);
    ExpectOneViolation({"while holding a spin lock"});
    KeRaiseIrql(DISPATCH_LEVEL, &inner_irql);
    KeReleaseSpinLock(&outer, outer_irql);
    ExpectNoViolation();
}

TEST_F(IrqlVerifier, CriticalRegionsNestAndMustBalance) {
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    ExpectNoViolation();
    KeLeaveCriticalRegion();
    ExpectOneViolation({"KeLeaveCriticalRegion"});
}

TEST_F(IrqlVerifier, OnlyPollsAreAllowedAtDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old_irql = KeAcquireSpinLockRaiseToDpc(&lock);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    ExpectNoViolation();
    LARGE_INTEGER short_wait = Relative(1);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &short_wait);
    ExpectOneViolation({"KeWaitForSingleObject", "IRQL 2"});
    KeDelayExecutionThread(KernelMode, FALSE, &zero);
    ExpectOneViolation({"KeDelayExecutionThread", "IRQL 2"});
    KeReleaseSpinLock(&lock, old_irql);

    // At APC level a thread may still block.
    KeRaiseIrql(APC_LEVEL, &old_irql);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &short_wait);
    KeLowerIrql(old_irql);
}

void WaitForeverAtDispatchLevel() {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old_irql;
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

void DelayWhileHoldingASpinLock() {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockRaiseToDpc(&lock);
    LARGE_INTEGER delay = Relative(1);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

TEST(IrqlDeathTest, BlockingAtDispatchLevelAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(platform::verifier::GetMode(), platform::verifier::Mode::kAbort);
    EXPECT_DEATH(WaitForeverAtDispatchLevel(), "verifier: KeWaitForSingleObject blocks at IRQL 2");
    EXPECT_DEATH(DelayWhileHoldingASpinLock(), "verifier: KeDelayExecutionThread blocks at IRQL 2");
}

}  // namespace
