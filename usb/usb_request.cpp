#include "usb/usb_request.h"

#include "usb/pool_tags.h"
#include "usb/usb_transport.h"

NTSTATUS CallLowerDevice(UsbDevice* usb, ULONG control_code, PVOID argument1) {
    KEVENT event;
    IO_STATUS_BLOCK io_status;
    io_status.Status = STATUS_SUCCESS;
    io_status.Information = 0;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(control_code, usb->lower_device, nullptr, 0, nullptr,
                                             0, TRUE, &event, &io_status);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IofCallDriver(usb->lower_device, irp);
    if (status != STATUS_PENDING) {
        return status;
    }
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return io_status.Status;
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
