// IRQL of each thread, spin locks and critical regions.
#include <sched.h>

#include <string>

#include "kernel_internal.h"
#include "platform/verifier.h"

namespace platform::kernel {

ThreadState& CurrentThreadState() {
    thread_local ThreadState state;
    return state;
}

}  // namespace platform::kernel

namespace {

using platform::kernel::CurrentThreadState;
using platform::verifier::Violation;

constexpr KIRQL kHighestLevel = 15;

// A held lock word names its owner, so that a release by another thread and a second acquire by
// the owner (which would spin forever) are both caught.
ULONG_PTR OwnerToken() {
    return (ULONG_PTR)&CurrentThreadState() | 1;
}

}  // namespace

KIRQL NTAPI KeGetCurrentIrql() {
    return CurrentThreadState().irql;
}

KIRQL NTAPI KfRaiseIrql(KIRQL new_irql) {
    auto& state = CurrentThreadState();
    if (new_irql < state.irql || new_irql > kHighestLevel) {
        Violation("KeRaiseIrql to " + std::to_string(new_irql) + " from IRQL " +
                  std::to_string(state.irql));
    }
    const KIRQL old_irql = state.irql;
    state.irql = new_irql;
    return old_irql;
}

VOID NTAPI KeLowerIrql(KIRQL new_irql) {
    auto& state = CurrentThreadState();
    if (new_irql > state.irql) {
        Violation("KeLowerIrql to " + std::to_string(new_irql) + " from IRQL " +
                  std::to_string(state.irql));
    }
    if (new_irql < DISPATCH_LEVEL && state.spin_locks_held != 0) {
        Violation("KeLowerIrql to " + std::to_string(new_irql) + " while holding a spin lock");
    }
    state.irql = new_irql;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK lock) {
    __atomic_store_n(lock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    auto& state = CurrentThreadState();
    if (state.irql > DISPATCH_LEVEL) {
        Violation("spin lock acquired at IRQL " + std::to_string(state.irql));
    }
    KIRQL old_irql = state.irql;
    state.irql = DISPATCH_LEVEL;
    ULONG_PTR token = OwnerToken();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == token) {
        Violation("spin lock acquired again by the thread that holds it");
        state.irql = old_irql;
        return old_irql;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        // Two cores are shared by many processes: let the holder run rather than burn its slice.
        sched_yield();
    }
    ++state.spin_locks_held;
    return old_irql;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL new_irql) {
    auto& state = CurrentThreadState();
    ULONG_PTR token = OwnerToken();
    ULONG_PTR expected = token;
    if (!__atomic_compare_exchange_n(lock, &expected, (ULONG_PTR)0, false, __ATOMIC_RELEASE,
                                     __ATOMIC_RELAXED)) {
        Violation(expected == 0 ? "release of a spin lock that is not held"
                                : "release of a spin lock held by another thread");
        return;
    }
    --state.spin_locks_held;
    if (new_irql > state.irql) {
        Violation("spin lock release raises the IRQL to " + std::to_string(new_irql) + " from " +
                  std::to_string(state.irql));
    }
    // Locks are released in the reverse order of their acquisition: only the outermost release
    // may drop below DISPATCH_LEVEL.
    if (new_irql < DISPATCH_LEVEL && state.spin_locks_held != 0) {
        Violation("spin lock release lowers the IRQL to " + std::to_string(new_irql) +
                  " while another spin lock is held");
    }
    state.irql = new_irql;
}

VOID NTAPI KeEnterCriticalRegion() {
    ++CurrentThreadState().critical_region_depth;
}

VOID NTAPI KeLeaveCriticalRegion() {
    auto& state = CurrentThreadState();
    if (state.critical_region_depth == 0) {
        Violation("KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    --state.critical_region_depth;
}
