// System threads, their objects and handles.
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "handles.h"
#include "kernel_internal.h"
#include "kernel_thread.h"
#include "platform/verifier.h"

struct _OBJECT_TYPE {
    const char* name;
};

// Begins with its dispatcher header so that KeWaitForSingleObject treats it like any other
// dispatcher object; signalled when the thread has ended.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    // Guarded by the object lock below: one for the handle, one for the running thread, one for
    // each ObReferenceObjectByHandle.
    LONG_PTR references;
    PKSTART_ROUTINE start_routine;
    PVOID start_context;
    std::jmp_buf exit_point;
};

namespace {

_OBJECT_TYPE g_thread_type{"Thread"};
POBJECT_TYPE g_thread_type_pointer = &g_thread_type;

}  // namespace

POBJECT_TYPE* PsThreadType = &g_thread_type_pointer;

namespace {

using platform::kernel::CurrentThreadState;
using platform::kernel::DispatcherCondition;
using platform::kernel::DispatcherLock;
using platform::verifier::Violation;

// Thread objects come from the tracked pool, so that a reference never dropped shows as a leak.
constexpr ULONG kThreadObjectTag = 'rhTP';  // "PThr" in memory order
constexpr NTSTATUS kStatusObjectTypeMismatch = (NTSTATUS)0xC0000024L;

struct HandleEntry {
    void* object;
    platform::kernel::HandleCloser close;
};

struct ObjectTable {
    std::mutex lock;
    std::unordered_map<HANDLE, HandleEntry> handles;
    std::unordered_set<PKTHREAD> threads;
    ULONG_PTR next_handle = 0;
};

std::atomic<bool> g_failing_references{false};

ObjectTable& Objects() {
    static ObjectTable* table = new ObjectTable;
    return *table;
}

// Caller holds the table lock.
HANDLE InsertLocked(ObjectTable& table, void* object, platform::kernel::HandleCloser close) {
    // Kernel handles have the top bit set and are multiples of four.
    table.next_handle += 4;
    HANDLE handle = (HANDLE)(table.next_handle | ((ULONG_PTR)1 << 63));
    table.handles[handle] = HandleEntry{object, close};
    return handle;
}

thread_local PKTHREAD t_current_thread = nullptr;

void Destroy(PKTHREAD thread) {
    thread->~_KTHREAD();
    ExFreePoolWithTag(thread, kThreadObjectTag);
}

// Drops one reference and says whether it was the last, in which case the caller destroys the
// object.
bool DropReference(PKTHREAD thread, LONG_PTR* left) {
    ObjectTable& table = Objects();
    std::lock_guard<std::mutex> guard(table.lock);
    *left = --thread->references;
    if (*left == 0) {
        table.threads.erase(thread);
    }
    return *left == 0;
}

LONG_PTR Release(PKTHREAD thread) {
    LONG_PTR left;
    if (DropReference(thread, &left)) {
        Destroy(thread);
    }
    return left;
}

void CheckCleanExit(PKTHREAD thread) {
    auto& state = CurrentThreadState();
    char where[48];
    std::snprintf(where, sizeof(where), "system thread %p", (void*)thread);
    if (state.spin_locks_held != 0) {
        Violation(std::string(where) + " ended holding " + std::to_string(state.spin_locks_held) +
                  " spin lock(s)");
    }
    if (state.irql != PASSIVE_LEVEL) {
        Violation(std::string(where) + " ended at IRQL " + std::to_string(state.irql));
    }
    if (state.critical_region_depth != 0) {
        Violation(std::string(where) + " ended inside " +
                  std::to_string(state.critical_region_depth) + " critical region(s)");
    }
}

// Kept apart from the code that follows the longjmp target, so that nothing with a destructor
// lives in the frame that PsTerminateSystemThread jumps back into.
void RunStartRoutine(PKTHREAD thread) {
    if (setjmp(thread->exit_point) == 0) {
        thread->start_routine(thread->start_context);
    }
}

void ThreadMain(PKTHREAD thread) {
    t_current_thread = thread;
    {
        platform::verifier::DriverThreadScope counted(platform::verifier::DriverThread::kSystem);
        RunStartRoutine(thread);
    }
    CheckCleanExit(thread);
    t_current_thread = nullptr;
    // The thread's own reference goes while the dispatcher lock is held, so a waiter that sees the
    // signal and then drops its references frees the object without racing this thread.
    bool last;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        thread->Header.SignalState = 1;
        LONG_PTR left;
        last = DropReference(thread, &left);
    }
    DispatcherCondition().notify_all();
    if (last) {
        Destroy(thread);
    }
}

// The object and thread services have IRQL limits of their own; most need PASSIVE_LEVEL.
void CheckIrqlAtMost(KIRQL highest, const char* operation) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > highest) {
        Violation(std::string(operation) + " at IRQL " + std::to_string(irql));
    }
}

void CloseThreadHandle(void* object) {
    Release((PKTHREAD)object);
}

}  // namespace

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE thread_handle, ULONG desired_access,
                                    POBJECT_ATTRIBUTES object_attributes, HANDLE process_handle,
                                    PCLIENT_ID client_id, PKSTART_ROUTINE start_routine,
                                    PVOID start_context) {
    UNREFERENCED_PARAMETER(desired_access);
    UNREFERENCED_PARAMETER(object_attributes);
    UNREFERENCED_PARAMETER(process_handle);
    CheckIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (thread_handle == nullptr || start_routine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    void* memory = ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION),
                                         sizeof(_KTHREAD), kThreadObjectTag);
    if (memory == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PKTHREAD thread = new (memory) _KTHREAD{};
    thread->Header.Type = ThreadObject;
    thread->Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
    thread->Header.WaitListHead.Flink = &thread->Header.WaitListHead;
    thread->Header.WaitListHead.Blink = &thread->Header.WaitListHead;
    thread->references = 2;
    thread->start_routine = start_routine;
    thread->start_context = start_context;

    HANDLE handle;
    ObjectTable& table = Objects();
    {
        std::lock_guard<std::mutex> guard(table.lock);
        handle = InsertLocked(table, thread, CloseThreadHandle);
        table.threads.insert(thread);
    }
    platform::kernel::KernelThread runner;
    if (runner.Start([thread] { ThreadMain(thread); })) {
        runner.Detach();
    } else {
        {
            std::lock_guard<std::mutex> guard(table.lock);
            table.handles.erase(handle);
            table.threads.erase(thread);
        }
        Destroy(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (client_id != nullptr) {
        client_id->UniqueProcess = (HANDLE)(ULONG_PTR)4;
        client_id->UniqueThread = handle;
    }
    *thread_handle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS exit_status) {
    PKTHREAD thread = t_current_thread;
    if (thread == nullptr) {
        Violation("PsTerminateSystemThread called by a thread that is not a system thread");
        // There is no way to carry on from a call that must not return.
        std::fprintf(stderr, "verifier: PsTerminateSystemThread outside a system thread\n");
        std::abort();
    }
    UNREFERENCED_PARAMETER(exit_status);
    std::longjmp(thread->exit_point, 1);
}

namespace {

// A new reference to the thread a handle names. Only thread objects are reference-counted here.
NTSTATUS ReferenceThreadHandle(HANDLE handle, PKTHREAD* thread) {
    ObjectTable& table = Objects();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.handles.find(handle);
    if (found == table.handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    if (found->second.close != CloseThreadHandle) {
        return kStatusObjectTypeMismatch;
    }
    *thread = (PKTHREAD)found->second.object;
    ++(*thread)->references;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desired_access,
                                         POBJECT_TYPE object_type, KPROCESSOR_MODE access_mode,
                                         PVOID* object,
                                         POBJECT_HANDLE_INFORMATION handle_information) {
    UNREFERENCED_PARAMETER(access_mode);
    CheckIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    if (object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *object = nullptr;
    if (g_failing_references.load()) {
        return STATUS_ACCESS_DENIED;
    }
    if (object_type != nullptr && object_type != *PsThreadType) {
        return kStatusObjectTypeMismatch;
    }
    PKTHREAD thread = nullptr;
    const NTSTATUS status = ReferenceThreadHandle(handle, &thread);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *object = thread;
    if (handle_information != nullptr) {
        handle_information->HandleAttributes = OBJ_KERNEL_HANDLE;
        handle_information->GrantedAccess = desired_access;
    }
    return STATUS_SUCCESS;
}

LONG_PTR NTAPI ObfDereferenceObject(PVOID object) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
    PKTHREAD thread = (PKTHREAD)object;
    bool known;
    {
        ObjectTable& table = Objects();
        std::lock_guard<std::mutex> guard(table.lock);
        known = table.threads.count(thread) != 0;
    }
    if (!known) {
        char text[96];
        std::snprintf(text, sizeof(text), "ObfDereferenceObject of %p, which is not an object",
                      object);
        Violation(text);
        return 0;
    }
    // The caller holds a reference, so the object cannot go between the check and the release.
    return Release(thread);
}

NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwWaitForSingleObject");
    // The reference is held for the wait, so that a close of the handle meanwhile cannot free
    // the object.
    PKTHREAD thread = nullptr;
    NTSTATUS status = ReferenceThreadHandle(handle, &thread);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = KeWaitForSingleObject(thread, Executive, KernelMode, alertable, timeout);
    Release(thread);
    return status;
}

NTSTATUS NTAPI ZwClose(HANDLE handle) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    ObjectTable& table = Objects();
    HandleEntry entry{};
    {
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.handles.find(handle);
        if (found != table.handles.end()) {
            entry = found->second;
            table.handles.erase(found);
        }
    }
    if (entry.close == nullptr) {
        char text[64];
        std::snprintf(text, sizeof(text), "ZwClose of an invalid handle %p", handle);
        Violation(text);
        return STATUS_INVALID_HANDLE;
    }
    entry.close(entry.object);
    return STATUS_SUCCESS;
}

namespace platform::kernel {

void ClearObjectFaults() {
    g_failing_references.store(false);
}

HANDLE InsertHandle(void* object, HandleCloser close) {
    ObjectTable& table = Objects();
    std::lock_guard<std::mutex> guard(table.lock);
    return InsertLocked(table, object, close);
}

void* ObjectFromHandle(HANDLE handle, HandleCloser close) {
    ObjectTable& table = Objects();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.handles.find(handle);
    if (found == table.handles.end() || found->second.close != close) {
        return nullptr;
    }
    return found->second.object;
}

}  // namespace platform::kernel

namespace platform::verifier {

void FailObjectReferences() {
    g_failing_references.store(true);
}

}  // namespace platform::verifier
