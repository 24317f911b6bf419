#include "usb/usb_request.h"

#include "usb/pool_tags.h"
#include "usb/usb_transport.h"

namespace {

// The request comes back to its sender, which frees it: a request cancelled after its time-out is
// then never touched by anyone once gone.
NTSTATUS NTAPI ExchangeCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS CallLowerDevice(UsbDevice* usb, ULONG control_code, PVOID argument1) {
    PIRP irp = IoAllocateIrp((CHAR)(usb->lower_device->StackSize + 1), FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = control_code;
    next->Parameters.Others.Argument1 = argument1;
    // The routine still runs after it has woken this thread, which may go on to unload the
    // driver: the unload-safe registration keeps the image until the routine has returned.
    if (!NT_SUCCESS(IoSetCompletionRoutineEx(usb->functional_device, irp, ExchangeCompleted, &event,
                                             TRUE, TRUE, TRUE))) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IofCallDriver(usb->lower_device, irp);
    // A camera that withholds its answer must not hold its caller, nor the command lock the
    // caller may hold, for ever: past the time-out the request is cancelled, and its completion,
    // which the bus owes a cancelled request, is awaited before the request is freed.
    LARGE_INTEGER timeout = FrameTimeoutWait();
    NTSTATUS status;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = STATUS_IO_TIMEOUT;
    } else {
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    return status;
}

NTSTATUS SubmitUrb(UsbDevice* usb, PURB urb) {
    return CallLowerDevice(usb, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

PURB AllocateUrb(USHORT length, USHORT function) {
    PURB urb = (PURB)ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION),
                                           length, kUsbTag);
    if (urb != nullptr) {
        urb->UrbHeader.Length = length;
        urb->UrbHeader.Function = function;
    }
    return urb;
}

VOID FreeUrb(PURB urb) {
    if (urb != nullptr) {
        ExFreePoolWithTag(urb, kUsbTag);
    }
}
