// State shared by the pieces of the kernel stand-in: the per-thread execution state that the
// verifier checks, the dispatcher lock that every wait and signal takes, and time conversions.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/kernel.h"

namespace platform::kernel {

// What the verifier knows about the calling thread.
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int spin_locks_held = 0;
    int critical_region_depth = 0;
};
ThreadState& CurrentThreadState();

// One lock and one condition variable for all dispatcher objects: every state change of an event
// or a thread object happens under the lock and wakes all waiters, who re-check their own object.
std::mutex& DispatcherLock();
std::condition_variable& DispatcherCondition();

// System time (100 ns units since 1601) corresponding to now, and a steady-clock deadline for a
// relative or absolute platform time-out (negative relative, positive absolute; never zero).
LONGLONG SystemTimeNow();
std::chrono::steady_clock::time_point DeadlineFor(LONGLONG timeout);

// Ends the hidden processor features and failing extended-state saves of the verifier.
void ClearProcessorFaults();
// Ends the failing object references of the verifier.
void ClearObjectFaults();

}  // namespace platform::kernel
