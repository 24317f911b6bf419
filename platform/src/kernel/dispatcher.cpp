// Events, waits and delays. All state of an event lives in its dispatcher header, because events
// sit inside driver records and on stacks and are never destroyed.
#include <string>
#include <thread>

#include "kernel_internal.h"
#include "platform/verifier.h"

namespace platform::kernel {

std::mutex& DispatcherLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::condition_variable& DispatcherCondition() {
    static std::condition_variable* condition = new std::condition_variable;
    return *condition;
}

}  // namespace platform::kernel

namespace {

using platform::kernel::DeadlineFor;
using platform::kernel::DispatcherCondition;
using platform::kernel::DispatcherLock;
using platform::verifier::Violation;

bool IsEvent(const DISPATCHER_HEADER& header) {
    return header.Type == EventNotificationObject || header.Type == EventSynchronizationObject;
}

bool CheckEvent(PRKEVENT event, const char* operation) {
    if (event == nullptr || !IsEvent(event->Header)) {
        Violation(std::string(operation) + " on an object that is not an event");
        return false;
    }
    return true;
}

void CheckMayBlock(const char* operation) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL) {
        Violation(std::string(operation) + " blocks at IRQL " + std::to_string(irql));
    }
}

// A mutex names its owner by the owner's thread state, which every thread has (system thread or
// not).
struct _KTHREAD* CurrentOwner() {
    return reinterpret_cast<struct _KTHREAD*>(&platform::kernel::CurrentThreadState());
}

// Caller holds the dispatcher lock. A free mutex, or one the caller owns already, is taken: the
// signal state counts down once per acquisition, and the first one enters the owner's critical
// region as the platform disables normal kernel APCs for a mutex owner.
bool TryAcquireMutex(KMUTEX& mutex) {
    if (mutex.Header.SignalState <= 0 && mutex.OwnerThread != CurrentOwner()) {
        return false;
    }
    if (mutex.Header.SignalState == 1) {
        mutex.OwnerThread = CurrentOwner();
        ++platform::kernel::CurrentThreadState().critical_region_depth;
    }
    --mutex.Header.SignalState;
    return true;
}

// Takes the object's signal if it has one; a synchronization event is consumed by the wait.
bool TrySatisfy(DISPATCHER_HEADER& header) {
    if (header.Type == MutantObject) {
        return TryAcquireMutex(*reinterpret_cast<KMUTEX*>(&header));
    }
    if (header.SignalState <= 0) {
        return false;
    }
    if (header.Type == EventSynchronizationObject) {
        header.SignalState = 0;
    }
    return true;
}

}  // namespace

VOID NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    DISPATCHER_HEADER& header = event->Header;
    header.Type =
        type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
    header.Signalling = 0;
    header.Size = sizeof(KEVENT) / sizeof(LONG);
    header.Reserved1 = 0;
    header.SignalState = state ? 1 : 0;
    header.WaitListHead.Flink = &header.WaitListHead;
    header.WaitListHead.Blink = &header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
    UNREFERENCED_PARAMETER(increment);
    // A true `wait` only lets the caller wait next without a window; waits here have none anyway.
    UNREFERENCED_PARAMETER(wait);
    if (!CheckEvent(event, "KeSetEvent")) {
        return 0;
    }
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
    }
    // Every waiter re-checks; for a synchronization event the first to take the lock consumes the
    // signal and the others go back to sleep, so exactly one is released.
    DispatcherCondition().notify_all();
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT event) {
    if (!CheckEvent(event, "KeResetEvent")) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(DispatcherLock());
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT event) {
    KeResetEvent(event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT event) {
    if (!CheckEvent(event, "KeReadStateEvent")) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(DispatcherLock());
    return event->Header.SignalState;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX mutex, ULONG level) {
    UNREFERENCED_PARAMETER(level);
    std::lock_guard<std::mutex> guard(DispatcherLock());
    mutex->Header.Type = MutantObject;
    mutex->Header.Signalling = 0;
    mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    mutex->Header.Reserved1 = 0;
    mutex->Header.SignalState = 1;
    mutex->Header.WaitListHead.Flink = &mutex->Header.WaitListHead;
    mutex->Header.WaitListHead.Blink = &mutex->Header.WaitListHead;
    mutex->MutantListEntry.Flink = &mutex->MutantListEntry;
    mutex->MutantListEntry.Blink = &mutex->MutantListEntry;
    mutex->OwnerThread = nullptr;
    mutex->Abandoned = FALSE;
    mutex->ApcDisable = 1;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait) {
    // A true `wait` only lets the caller wait next without a window; waits here have none anyway.
    UNREFERENCED_PARAMETER(wait);
    if (mutex == nullptr || mutex->Header.Type != MutantObject) {
        Violation("KeReleaseMutex on an object that is not a mutex");
        return 0;
    }
    LONG previous = 0;
    bool owned;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        owned = mutex->Header.SignalState <= 0 && mutex->OwnerThread == CurrentOwner();
        if (owned) {
            previous = mutex->Header.SignalState++;
            if (mutex->Header.SignalState == 1) {
                mutex->OwnerThread = nullptr;
                --platform::kernel::CurrentThreadState().critical_region_depth;
            }
        }
    }
    // The platform stops the system here: a release by a thread that does not own the mutex.
    if (!owned) {
        Violation("KeReleaseMutex by a thread that does not own the mutex");
        return 0;
    }
    DispatcherCondition().notify_all();
    return previous;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON wait_reason,
                                     KPROCESSOR_MODE wait_mode, BOOLEAN alertable,
                                     PLARGE_INTEGER timeout) {
    UNREFERENCED_PARAMETER(wait_reason);
    UNREFERENCED_PARAMETER(wait_mode);
    UNREFERENCED_PARAMETER(alertable);
    if (object == nullptr) {
        Violation("KeWaitForSingleObject on a null object");
        return STATUS_INVALID_PARAMETER;
    }
    DISPATCHER_HEADER& header = *(DISPATCHER_HEADER*)object;
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (!poll) {
        CheckMayBlock("KeWaitForSingleObject");
    }
    std::unique_lock<std::mutex> guard(DispatcherLock());
    if (!IsEvent(header) && header.Type != MutantObject && header.Type != ThreadObject) {
        guard.unlock();
        Violation("KeWaitForSingleObject on an object of type " + std::to_string(header.Type) +
                  ", which is not an event, a mutex or a thread");
        return STATUS_INVALID_PARAMETER;
    }
    if (poll) {
        return TrySatisfy(header) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    if (timeout == nullptr) {
        DispatcherCondition().wait(guard, [&] { return TrySatisfy(header); });
        return STATUS_SUCCESS;
    }
    auto deadline = DeadlineFor(timeout->QuadPart);
    bool satisfied =
        DispatcherCondition().wait_until(guard, deadline, [&] { return TrySatisfy(header); });
    return satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE wait_mode, BOOLEAN alertable,
                                      PLARGE_INTEGER interval) {
    UNREFERENCED_PARAMETER(wait_mode);
    UNREFERENCED_PARAMETER(alertable);
    CheckMayBlock("KeDelayExecutionThread");
    if (interval == nullptr) {
        Violation("KeDelayExecutionThread without an interval");
        return STATUS_INVALID_PARAMETER;
    }
    if (interval->QuadPart == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_until(DeadlineFor(interval->QuadPart));
    }
    return STATUS_SUCCESS;
}
