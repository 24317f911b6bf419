// Rundown protection: holders count in steps of two, the low bit marks a rundown in progress.
#include <string>

#include "kernel_internal.h"
#include "platform/verifier.h"

namespace {

using platform::kernel::DispatcherCondition;
using platform::kernel::DispatcherLock;
using platform::verifier::Violation;

constexpr ULONG_PTR kRundownActive = 1;
constexpr ULONG_PTR kOneHolder = 2;

ULONG_PTR Load(PEX_RUNDOWN_REF run_ref) {
    return __atomic_load_n(&run_ref->Count, __ATOMIC_SEQ_CST);
}

}  // namespace

VOID NTAPI ExInitializeRundownProtection(PEX_RUNDOWN_REF run_ref) {
    __atomic_store_n(&run_ref->Count, (ULONG_PTR)0, __ATOMIC_SEQ_CST);
}

VOID NTAPI ExReInitializeRundownProtection(PEX_RUNDOWN_REF run_ref) {
    if (Load(run_ref) != kRundownActive) {
        Violation("ExReInitializeRundownProtection of a reference that is not run down");
    }
    __atomic_store_n(&run_ref->Count, (ULONG_PTR)0, __ATOMIC_SEQ_CST);
}

BOOLEAN NTAPI ExAcquireRundownProtection(PEX_RUNDOWN_REF run_ref) {
    ULONG_PTR count = Load(run_ref);
    for (;;) {
        if ((count & kRundownActive) != 0) {
            return FALSE;
        }
        if (__atomic_compare_exchange_n(&run_ref->Count, &count, count + kOneHolder, false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            return TRUE;
        }
    }
}

VOID NTAPI ExReleaseRundownProtection(PEX_RUNDOWN_REF run_ref) {
    ULONG_PTR count = Load(run_ref);
    if (count < kOneHolder) {
        Violation("ExReleaseRundownProtection without a matching acquisition");
        return;
    }
    ULONG_PTR left = __atomic_sub_fetch(&run_ref->Count, kOneHolder, __ATOMIC_SEQ_CST);
    if (left == kRundownActive) {
        // Taken so that the waiter cannot miss the wake-up between its check and its wait.
        std::lock_guard<std::mutex> guard(DispatcherLock());
        DispatcherCondition().notify_all();
    }
}

VOID NTAPI ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF run_ref) {
    if (KeGetCurrentIrql() > APC_LEVEL) {
        Violation("ExWaitForRundownProtectionRelease at IRQL " +
                  std::to_string(KeGetCurrentIrql()));
    }
    ULONG_PTR before = __atomic_fetch_or(&run_ref->Count, kRundownActive, __ATOMIC_SEQ_CST);
    if ((before & kRundownActive) != 0) {
        Violation("ExWaitForRundownProtectionRelease of a reference already run down");
    }
    std::unique_lock<std::mutex> guard(DispatcherLock());
    DispatcherCondition().wait(guard, [&] { return Load(run_ref) == kRundownActive; });
}
