// A completion routine that wakes its driver's waiting thread still runs driver code after the
// wake: the waiter may let the driver unload while the routine returns. The held routine is
// counted from registration until it has returned, and the unload waits for the count.
#include "unload_safe_completion.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "io_internal.h"
#include "platform/verifier.h"

namespace platform::io {
namespace {

struct Holds {
    std::mutex lock;
    std::condition_variable released;
    size_t count = 0;
};

Holds& TheHolds() {
    static Holds holds;
    return holds;
}

struct Hold {
    PIO_COMPLETION_ROUTINE routine;
    PVOID context;
};

void Release() {
    Holds& holds = TheHolds();
    std::lock_guard<std::mutex> guard(holds.lock);
    --holds.count;
    holds.released.notify_all();
}

NTSTATUS NTAPI HeldCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* hold = static_cast<Hold*>(context);
    const Hold copy = *hold;
    // Freed first: the driver's leak check after unload must not see it.
    ExFreePoolWithTag(hold, kCompletionHoldTag);
    const NTSTATUS status = copy.routine(device, irp, copy.context);
    Release();
    return status;
}

}  // namespace

void AwaitUnloadSafeCompletions() {
    // Longer than any bus completes a request that was cancelled.
    constexpr auto kLongest = std::chrono::seconds(10);
    Holds& holds = TheHolds();
    std::unique_lock<std::mutex> guard(holds.lock);
    if (!holds.released.wait_for(guard, kLongest, [&] { return holds.count == 0; }))
        verifier::Violation("driver unload: " + std::to_string(holds.count) +
                            " completion routine(s) registered with IoSetCompletionRoutineEx "
                            "never ran");
}

}  // namespace platform::io

NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT device_object, PIRP irp,
                                        PIO_COMPLETION_ROUTINE routine, PVOID context,
                                        BOOLEAN invoke_on_success, BOOLEAN invoke_on_error,
                                        BOOLEAN invoke_on_cancel) {
    using namespace platform::io;
    if (device_object == nullptr || routine == nullptr) {
        platform::verifier::Violation(
            "IoSetCompletionRoutineEx without the driver's device object or a routine");
        return STATUS_INVALID_PARAMETER;
    }
    auto* hold =
        static_cast<Hold*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Hold), kCompletionHoldTag));
    if (hold == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *hold = Hold{routine, context};
    {
        Holds& holds = TheHolds();
        std::lock_guard<std::mutex> guard(holds.lock);
        ++holds.count;
    }
    IoSetCompletionRoutine(irp, HeldCompletion, hold, invoke_on_success, invoke_on_error,
                           invoke_on_cancel);
    return STATUS_SUCCESS;
}
