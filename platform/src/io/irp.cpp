// IRPs: allocation, passing down the stack, completion up the stack, cancellation.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "io_internal.h"
#include "platform/io.h"
#include "platform/verifier.h"

namespace platform::io {
namespace {

constexpr SHORT kIoTypeIrp = 6;

SIZE_T IrpBlockSize(CHAR stack_size) {
    return sizeof(IRP) + (SIZE_T)stack_size * sizeof(IO_STACK_LOCATION) + sizeof(IrpShadow);
}

PIO_STACK_LOCATION FirstStackLocation(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

KSPIN_LOCK cancel_lock = 0;

std::string Describe(PIRP irp) {
    char text[32];
    snprintf(text, sizeof(text), "%p", static_cast<void*>(irp));
    return text;
}

bool ShouldInvoke(PIRP irp, UCHAR control) {
    NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
           (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL));
}

// The top of the stack for a request the I/O manager built: report to the caller, then release.
void FinishBuiltRequest(PIRP irp, IrpShadow* shadow) {
    if (irp->AssociatedIrp.SystemBuffer != nullptr) {
        if (shadow->output_buffer != nullptr && NT_SUCCESS(irp->IoStatus.Status)) {
            ULONG_PTR count = irp->IoStatus.Information;
            if (count > shadow->output_length)
                count = shadow->output_length;
            memcpy(shadow->output_buffer, irp->AssociatedIrp.SystemBuffer, count);
        }
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    while (irp->MdlAddress != nullptr) {
        PMDL next = irp->MdlAddress->Next;
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = next;
    }
    PIO_STATUS_BLOCK status_block = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    IO_STATUS_BLOCK result = irp->IoStatus;
    shadow->state.store(IrpState::kIdle);
    IoFreeIrp(irp);
    if (status_block != nullptr)
        *status_block = result;
    if (event != nullptr)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

IrpShadow* ShadowOf(PIRP irp) {
    if (irp == nullptr || irp->Type != kIoTypeIrp || irp->StackCount < 0) {
        platform::verifier::Violation("not an IRP from IoAllocateIrp: " + Describe(irp));
        return nullptr;
    }
    auto* shadow = reinterpret_cast<IrpShadow*>(FirstStackLocation(irp) + irp->StackCount);
    if (shadow->magic != IrpShadow::kMagic) {
        platform::verifier::Violation("not an IRP from IoAllocateIrp: " + Describe(irp));
        return nullptr;
    }
    return shadow;
}

}  // namespace platform::io

using platform::io::IrpShadow;
using platform::io::IrpState;
using platform::io::ShadowOf;

PIRP NTAPI IoAllocateIrp(CHAR stack_size, BOOLEAN charge_quota) {
    UNREFERENCED_PARAMETER(charge_quota);
    if (stack_size < 0) {
        platform::verifier::Violation("IoAllocateIrp with a negative stack size");
        return nullptr;
    }
    SIZE_T size = platform::io::IrpBlockSize(stack_size);
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(
        (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), size, platform::io::kIrpTag));
    if (irp == nullptr)
        return nullptr;
    irp->Type = platform::io::kIoTypeIrp;
    irp->Size = (USHORT)(size - sizeof(IrpShadow));
    irp->StackCount = stack_size;
    irp->CurrentLocation = (CHAR)(stack_size + 1);
    irp->Tail.Overlay.CurrentStackLocation = platform::io::FirstStackLocation(irp) + stack_size;
    new (platform::io::FirstStackLocation(irp) + stack_size) IrpShadow();
    return irp;
}

VOID NTAPI IoFreeIrp(PIRP irp) {
    if (irp == nullptr)
        return;
    IrpShadow* shadow = ShadowOf(irp);
    if (shadow == nullptr)
        return;
    if (shadow->state.load() == IrpState::kPending) {
        platform::verifier::Violation("IoFreeIrp on an IRP pending in a driver: " +
                                      platform::io::Describe(irp));
        return;
    }
    shadow->magic = 0;
    shadow->~IrpShadow();
    ExFreePoolWithTag(irp, platform::io::kIrpTag);
}

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT device_object, PIRP irp) {
    IrpShadow* shadow = ShadowOf(irp);
    if (shadow == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (irp->CurrentLocation <= 1) {
        platform::verifier::Violation("IofCallDriver with no stack location left: " +
                                      platform::io::Describe(irp));
        return STATUS_INVALID_PARAMETER;
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device_object;
    PDRIVER_DISPATCH dispatch = nullptr;
    if (stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION) {
        dispatch = device_object->DriverObject->MajorFunction[stack->MajorFunction];
    }
    // Pending from here: the driver may complete the IRP on another thread before this returns.
    shadow->state.store(IrpState::kPending);
    if (dispatch == nullptr) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
    return dispatch(device_object, irp);
}

VOID NTAPI IofCompleteRequest(PIRP irp, CHAR priority_boost) {
    UNREFERENCED_PARAMETER(priority_boost);
    IrpShadow* shadow = ShadowOf(irp);
    if (shadow == nullptr)
        return;
    IrpState previous = shadow->state.exchange(IrpState::kCompleting);
    if (previous == IrpState::kCompleted) {
        shadow->state.store(IrpState::kCompleted);
        platform::verifier::Violation("IRP completed twice: " + platform::io::Describe(irp));
        return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        platform::verifier::Violation("IRP completed with STATUS_PENDING: " +
                                      platform::io::Describe(irp));
    }
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine =
            platform::io::ShouldInvoke(irp, stack->Control) ? stack->CompletionRoutine : nullptr;
        PVOID context = stack->Context;
        // A location is used once: clear it so that a reused IRP starts clean.
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->DeviceObject = nullptr;
        IoSkipCurrentIrpStackLocation(irp);
        bool at_top = irp->CurrentLocation > irp->StackCount;
        if (routine != nullptr) {
            PDEVICE_OBJECT device =
                at_top ? nullptr : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            // From MORE_PROCESSING_REQUIRED on, the IRP belongs to the routine's owner, who may
            // already have freed it.
            if (routine(device, irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (irp->PendingReturned && !at_top) {
            IoMarkIrpPending(irp);
        }
    }
    if (shadow->built) {
        platform::io::FinishBuiltRequest(irp, shadow);
        return;
    }
    shadow->state.store(IrpState::kCompleted);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL irql) {
    *irql = KeAcquireSpinLockRaiseToDpc(&platform::io::cancel_lock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL irql) {
    KeReleaseSpinLock(&platform::io::cancel_lock, irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    // An IRP that was never sent has no current location, and so no device.
    PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                : nullptr;
    // The routine releases the cancel spin lock itself.
    routine(device, irp);
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG io_control_code, PDEVICE_OBJECT device_object,
                                         PVOID input_buffer, ULONG input_buffer_length,
                                         PVOID output_buffer, ULONG output_buffer_length,
                                         BOOLEAN internal_device_io_control, PKEVENT event,
                                         PIO_STATUS_BLOCK io_status_block) {
    PIRP irp = IoAllocateIrp(device_object->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    IrpShadow* shadow = ShadowOf(irp);
    shadow->built = true;
    irp->UserIosb = io_status_block;
    irp->UserEvent = event;
    irp->RequestorMode = KernelMode;

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction =
        internal_device_io_control ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = io_control_code;
    stack->Parameters.DeviceIoControl.InputBufferLength = input_buffer_length;
    stack->Parameters.DeviceIoControl.OutputBufferLength = output_buffer_length;

    switch (io_control_code & 3) {
        case METHOD_BUFFERED: {
            ULONG size = input_buffer_length > output_buffer_length ? input_buffer_length
                                                                    : output_buffer_length;
            if (size != 0) {
                PVOID buffer =
                    ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), size,
                                          platform::io::kSystemBufferTag);
                if (buffer == nullptr) {
                    IoFreeIrp(irp);
                    return nullptr;
                }
                if (input_buffer != nullptr)
                    memcpy(buffer, input_buffer, input_buffer_length);
                irp->AssociatedIrp.SystemBuffer = buffer;
                shadow->output_buffer = output_buffer;
                shadow->output_length = output_buffer_length;
            }
            break;
        }
        case METHOD_NEITHER:
            stack->Parameters.DeviceIoControl.Type3InputBuffer = input_buffer;
            irp->UserBuffer = output_buffer;
            break;
        default:  // direct I/O: input buffered, output described by an MDL
            if (input_buffer_length != 0) {
                PVOID buffer = ExAllocatePoolWithTag((POOL_TYPE)NonPagedPoolNx, input_buffer_length,
                                                     platform::io::kSystemBufferTag);
                if (buffer == nullptr) {
                    IoFreeIrp(irp);
                    return nullptr;
                }
                memcpy(buffer, input_buffer, input_buffer_length);
                irp->AssociatedIrp.SystemBuffer = buffer;
            }
            if (output_buffer != nullptr && output_buffer_length != 0) {
                PMDL mdl = IoAllocateMdl(output_buffer, output_buffer_length, FALSE, FALSE, irp);
                if (mdl == nullptr) {
                    if (irp->AssociatedIrp.SystemBuffer != nullptr) {
                        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer,
                                          platform::io::kSystemBufferTag);
                    }
                    IoFreeIrp(irp);
                    return nullptr;
                }
                MmBuildMdlForNonPagedPool(mdl);
            }
            break;
    }
    return irp;
}
