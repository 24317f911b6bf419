// The I/O manager stand-in: IRP stack walking, completion, cancellation, built requests, MDLs.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/ddk.h"
#include "platform/src/io/unload_safe_completion.h"
#include "platform/verifier.h"

namespace {

// A two-level stack: an upper device whose driver forwards to a lower device. The lower driver
// either completes at once with `status` or leaves the IRP pending for the test to complete.
struct Stack {
    DRIVER_OBJECT lower_driver{};
    DEVICE_OBJECT lower{};
    PIRP held = nullptr;
    static inline NTSTATUS lower_status = STATUS_SUCCESS;
    static inline bool lower_pends = false;
    static inline Stack* current = nullptr;

    Stack() {
        lower.DriverObject = &lower_driver;
        lower.StackSize = 1;
        lower_driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
        lower_driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = LowerDispatch;
        current = this;
        lower_status = STATUS_SUCCESS;
        lower_pends = false;
    }
    static NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
        if (lower_pends) {
            IoMarkIrpPending(irp);
            current->held = irp;
            return STATUS_PENDING;
        }
        irp->IoStatus.Status = lower_status;
        irp->IoStatus.Information = 7;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return lower_status;
    }
};

struct RoutineLog {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS seen_status = 0;
    BOOLEAN seen_pending_returned = FALSE;
    NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS NTAPI LoggingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* log = static_cast<RoutineLog*>(context);
    log->calls++;
    log->device = device;
    log->seen_status = irp->IoStatus.Status;
    log->seen_pending_returned = irp->PendingReturned;
    return log->result;
}

void SendDown(Stack& stack, PIRP irp) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoCallDriver(&stack.lower, irp);
}

class IrpTest : public ::testing::Test {
  protected:
    void TearDown() override { platform::verifier::SetMode(platform::verifier::Mode::kAbort); }
};

TEST_F(IrpTest, AllocatedIrpStartsOnePastItsLastStackLocation) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    auto* first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
    EXPECT_EQ(irp->MdlAddress, nullptr);
    EXPECT_EQ(irp->Cancel, FALSE);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CallDriverMovesDownAndCompletionWalksBackUp) {
    Stack stack;
    PIRP irp = IoAllocateIrp(2, FALSE);
    DEVICE_OBJECT upper{};
    // As if the upper driver had been called: its location names its device, which its
    // completion routine then receives.
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = &upper;
    RoutineLog log;
    IoSetCompletionRoutine(irp, LoggingRoutine, &log, TRUE, TRUE, TRUE);
    Stack::lower_pends = true;
    SendDown(stack, irp);
    ASSERT_EQ(stack.held, irp);
    EXPECT_EQ(irp->CurrentLocation, 1);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, &stack.lower);
    EXPECT_EQ(log.calls, 0);

    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.device, &upper);
    EXPECT_TRUE(log.seen_pending_returned);
    EXPECT_EQ(irp->CurrentLocation, 3);  // back at the top, one past the last location
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CompletionRoutineRunsOnlyForItsOutcomes) {
    struct Case {
        bool on_success, on_error, on_cancel;
        NTSTATUS status;
        bool cancel;
        int expected_calls;
    };
    const Case cases[] = {
        {true, false, false, STATUS_SUCCESS, false, 1},
        {true, false, false, STATUS_UNSUCCESSFUL, false, 0},
        {false, true, false, STATUS_UNSUCCESSFUL, false, 1},
        {false, true, false, STATUS_SUCCESS, false, 0},
        {false, false, true, STATUS_CANCELLED, true, 1},
        {false, false, true, STATUS_CANCELLED, false, 0},
        // A cancelled IRP that still succeeds calls a cancel-only routine.
        {false, false, true, STATUS_SUCCESS, true, 1},
    };
    for (const Case& c : cases) {
        Stack stack;
        Stack::lower_status = c.status;
        PIRP irp = IoAllocateIrp(1, FALSE);
        irp->Cancel = c.cancel ? TRUE : FALSE;
        RoutineLog log;
        log.result = STATUS_MORE_PROCESSING_REQUIRED;
        IoSetCompletionRoutine(irp, LoggingRoutine, &log, c.on_success, c.on_error, c.on_cancel);
        SendDown(stack, irp);
        EXPECT_EQ(log.calls, c.expected_calls)
            << "success " << c.on_success << " error " << c.on_error << " cancel " << c.on_cancel
            << " status " << std::hex << c.status;
        if (log.calls) {
            EXPECT_EQ(log.device, nullptr);  // the top of the stack has no device
            EXPECT_EQ(log.seen_status, c.status);
        }
        IoFreeIrp(irp);
    }
}

TEST_F(IrpTest, MoreProcessingRequiredStopsCompletionAndLetsOwnerCompleteAgain) {
    Stack stack;
    PIRP irp = IoAllocateIrp(3, FALSE);
    // Two routines: the lower one (set by the middle "driver") stops completion.
    RoutineLog upper_log;
    IoSetCompletionRoutine(irp, LoggingRoutine, &upper_log, TRUE, TRUE, TRUE);
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    RoutineLog lower_log;
    lower_log.result = STATUS_MORE_PROCESSING_REQUIRED;
    IoSetCompletionRoutine(irp, LoggingRoutine, &lower_log, TRUE, TRUE, TRUE);
    SendDown(stack, irp);
    EXPECT_EQ(lower_log.calls, 1);
    EXPECT_EQ(upper_log.calls, 0);

    // The middle driver finishes its work and completes the IRP on up.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(upper_log.calls, 1);
    EXPECT_EQ(lower_log.calls, 1);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, BuiltRequestIsReleasedWithEventSetAndStatusBlockFilled) {
    Stack stack;
    for (bool pend : {false, true}) {
        Stack::lower_pends = pend;
        Stack::lower_status = STATUS_BUFFER_OVERFLOW;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK status_block{};
        status_block.Status = 12345;
        size_t before = platform::verifier::OutstandingBlocks();
        PIRP irp =
            IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, &stack.lower, nullptr, 0,
                                          nullptr, 0, TRUE, &event, &status_block);
        ASSERT_NE(irp, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode,
                  (ULONG)IOCTL_INTERNAL_USB_SUBMIT_URB);
        NTSTATUS result = IoCallDriver(&stack.lower, irp);
        if (pend) {
            EXPECT_EQ(result, STATUS_PENDING);
            EXPECT_EQ(KeReadStateEvent(&event), 0);
            stack.held->IoStatus.Status = STATUS_SUCCESS;
            stack.held->IoStatus.Information = 42;
            IoCompleteRequest(stack.held, IO_NO_INCREMENT);
            EXPECT_EQ(status_block.Status, STATUS_SUCCESS);
            EXPECT_EQ(status_block.Information, 42u);
        } else {
            EXPECT_EQ(result, STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(status_block.Status, STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(status_block.Information, 7u);
        }
        EXPECT_NE(KeReadStateEvent(&event), 0);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(), before);
    }
}

TEST_F(IrpTest, BufferedRequestCopiesInputInAndOutputBack) {
    struct Echo {
        static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
            for (ULONG i = 0; i < stack->Parameters.DeviceIoControl.InputBufferLength; i++) {
                buffer[i] = (char)(buffer[i] + 1);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 3;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
    };
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    device.DriverObject = &driver;
    device.StackSize = 1;
    driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = Echo::Dispatch;
    char input[4] = {'a', 'b', 'c', 'd'};
    char output[8] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status_block{};
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(code, &device, input, 4, output, 8, FALSE, &event,
                                             &status_block);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(&device, irp), STATUS_SUCCESS);
    EXPECT_EQ(std::string(output), "bcd");  // only Information bytes come back
}

int cancel_calls = 0;
KIRQL cancel_irql = 0;

VOID NTAPI CountingCancel(PDEVICE_OBJECT, PIRP irp) {
    cancel_calls++;
    cancel_irql = KeGetCurrentIrql();
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

TEST_F(IrpTest, CancelCallsTheCancelRoutineWithTheLockHeld) {
    cancel_calls = 0;
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));  // no routine: only the flag
    EXPECT_TRUE(irp->Cancel);
    irp->Cancel = FALSE;
    IoSetCancelRoutine(irp, CountingCancel);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(cancel_calls, 1);
    EXPECT_EQ(cancel_irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(IoCancelIrp(irp));  // the routine is taken only once
    EXPECT_EQ(cancel_calls, 1);
    IoFreeIrp(irp);
}

// A routine that is still returning after it woke its driver keeps the driver's unload waiting.
TEST_F(IrpTest, AnUnloadSafeRoutineHoldsTheUnloadUntilItHasReturned) {
    struct Gate {
        std::atomic<bool> entered{false}, leave{false};
    };
    static Gate gate;
    constexpr auto routine = [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
        gate.entered = true;
        while (!gate.leave)
            std::this_thread::yield();
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    Stack stack;
    Stack::lower_pends = true;
    DEVICE_OBJECT own{};
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_EQ(IoSetCompletionRoutineEx(&own, irp, routine, nullptr, TRUE, TRUE, TRUE),
              STATUS_SUCCESS);
    SendDown(stack, irp);
    std::thread bus([&] { IoCompleteRequest(stack.held, IO_NO_INCREMENT); });
    while (!gate.entered)
        std::this_thread::yield();
    std::atomic<bool> unloaded{false};
    std::thread unload([&] {
        platform::io::AwaitUnloadSafeCompletions();
        unloaded = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(unloaded);
    gate.leave = true;
    unload.join();
    bus.join();
    EXPECT_TRUE(unloaded);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, VerifierCatchesIrpLifetimeErrors) {
    platform::verifier::SetMode(platform::verifier::Mode::kRecord);
    platform::verifier::TakeViolations();
    Stack stack;
    Stack::lower_pends = true;
    PIRP irp = IoAllocateIrp(1, FALSE);
    SendDown(stack, irp);
    IoFreeIrp(irp);  // still pending in the lower driver
    std::vector<std::string> violations = platform::verifier::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("pending"), std::string::npos) << violations[0];

    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(platform::verifier::TakeViolations().empty());
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    violations = platform::verifier::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("twice"), std::string::npos) << violations[0];

    // Every stack location is used up once the IRP sits at the lowest one.
    Stack::lower_pends = false;
    PIRP shallow = IoAllocateIrp(1, FALSE);
    SendDown(stack, shallow);
    EXPECT_TRUE(platform::verifier::TakeViolations().empty());
    shallow->CurrentLocation = 1;
    shallow->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(shallow + 1);
    EXPECT_EQ(IoCallDriver(&stack.lower, shallow), STATUS_INVALID_PARAMETER);
    violations = platform::verifier::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("stack location"), std::string::npos) << violations[0];

    IoFreeIrp(shallow);
    IoFreeIrp(irp);
    EXPECT_TRUE(platform::verifier::TakeViolations().empty());
}

TEST(MdlTest, AllocateDescribesTheRangeAndAttachesToTheIrp) {
    alignas(4096) static UCHAR buffer[3 * PAGE_SIZE];
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL mdl = IoAllocateMdl(buffer + 100, 2 * PAGE_SIZE, FALSE, FALSE, irp);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(irp->MdlAddress, mdl);
    EXPECT_EQ(mdl->StartVa, buffer);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), 100u);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 2u * PAGE_SIZE);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer + 100);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer + 100);

    PMDL secondary = IoAllocateMdl(buffer, 10, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, mdl);
    EXPECT_EQ(mdl->Next, secondary);
    IoFreeMdl(secondary);
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
}

TEST(MdlTest, PartialMdlAddressesASubRangeOfTheSource) {
    alignas(4096) static UCHAR buffer[5 * PAGE_SIZE];
    UCHAR* base = buffer + 40;
    const ULONG length = 4 * PAGE_SIZE;
    PMDL source = IoAllocateMdl(base, length, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(source);
    PMDL target = IoAllocateMdl(base, length, FALSE, FALSE, nullptr);

    IoBuildPartialMdl(source, target, base + 5000, 3000);
    EXPECT_EQ(MmGetMdlVirtualAddress(target), base + 5000);
    EXPECT_EQ(target->StartVa, buffer + PAGE_SIZE);
    EXPECT_EQ(MmGetMdlByteOffset(target), (40u + 5000u) % PAGE_SIZE);
    EXPECT_EQ(MmGetMdlByteCount(target), 3000u);
    EXPECT_TRUE(target->MdlFlags & MDL_PARTIAL);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(target, NormalPagePriority), base + 5000);

    IoBuildPartialMdl(source, target, base + 10000, 0);  // 0: the rest of the source
    EXPECT_EQ(MmGetMdlByteCount(target), length - 10000);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(target, NormalPagePriority), base + 10000);

    platform::verifier::SetMode(platform::verifier::Mode::kRecord);
    platform::verifier::TakeViolations();
    IoBuildPartialMdl(source, target, base + length - 10, 11);
    IoBuildPartialMdl(source, target, base - 1, 1);
    EXPECT_EQ(platform::verifier::TakeViolations().size(), 2u);
    IoBuildPartialMdl(source, target, base + length - 10, 10);
    EXPECT_TRUE(platform::verifier::TakeViolations().empty());
    platform::verifier::SetMode(platform::verifier::Mode::kAbort);

    IoFreeMdl(target);
    IoFreeMdl(source);
}

}  // namespace
