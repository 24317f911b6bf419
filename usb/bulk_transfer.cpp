#include "usb/usb_request.h"
#include "usb/usb_transport.h"

PUSBD_PIPE_INFORMATION FindBulkPipe(UsbDevice* usb, ULONG pipe, NTSTATUS* status) {
    PUSBD_INTERFACE_INFORMATION info = usb->interface_info;
    if (info == nullptr) {
        *status = STATUS_UNSUCCESSFUL;
        return nullptr;
    }
    if (info->NumberOfPipes == 0 || pipe >= info->NumberOfPipes) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    PUSBD_PIPE_INFORMATION entry = &info->Pipes[pipe];
    if (entry->PipeType != UsbdPipeTypeBulk && entry->PipeType != UsbdPipeTypeInterrupt) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    if (entry->PipeHandle == nullptr) {
        *status = STATUS_UNSUCCESSFUL;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return entry;
}

namespace {

PURB AllocateBulkUrb(PUSBD_PIPE_INFORMATION pipe, ULONG length, PVOID buffer) {
    PURB urb = AllocateUrb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                           URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    if (urb == nullptr) {
        return nullptr;
    }
    _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
    bulk.PipeHandle = pipe->PipeHandle;
    bulk.TransferFlags = USBD_SHORT_TRANSFER_OK;
    if (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress)) {
        bulk.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    }
    bulk.TransferBufferLength = length;
    bulk.TransferBuffer = buffer;
    bulk.TransferBufferMDL = nullptr;
    bulk.UrbLink = nullptr;
    return urb;
}

}  // namespace

NTSTATUS BulkTransfer(CameraContext* camera, ULONG pipe, ULONG length, PVOID buffer,
                      PULONG transferred) {
    *transferred = 0;
    NTSTATUS status;
    PUSBD_PIPE_INFORMATION entry = FindBulkPipe(&camera->usb, pipe, &status);
    if (entry == nullptr) {
        return status;
    }
    if (length > entry->MaximumTransferSize) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = AllocateBulkUrb(entry, length, buffer);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = SubmitUrb(&camera->usb, urb);
    if (NT_SUCCESS(status)) {
        if (USBD_ERROR(urb->UrbHeader.Status)) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            *transferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        }
    }
    FreeUrb(urb);
    return status;
}

bool TransferPacket(CameraContext* camera, ULONG pipe, ULONG length, PVOID buffer) {
    if (length == 0 || buffer == nullptr) {
        return false;
    }
    ULONG transferred = 0;
    NTSTATUS status = BulkTransfer(camera, pipe, length, buffer, &transferred);
    return NT_SUCCESS(status) && transferred == length;
}

NTSTATUS SendStreamPacket(CameraContext* camera, const FramePackets* packets, bool go) {
    PUSBD_INTERFACE_INFORMATION info = camera->usb.interface_info;
    if (info == nullptr || info->NumberOfPipes == 0 ||
        info->Pipes[kCommandPipe].PipeHandle == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    packets->BuildStreamControl(camera->request_buffer, go);
    PURB urb = AllocateBulkUrb(&info->Pipes[kCommandPipe], kPacketSize, camera->request_buffer);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitUrb(&camera->usb, urb);
    if (NT_SUCCESS(status) &&
        (USBD_ERROR(urb->UrbHeader.Status) ||
         urb->UrbBulkOrInterruptTransfer.TransferBufferLength != kPacketSize)) {
        status = STATUS_UNSUCCESSFUL;
    }
    FreeUrb(urb);
    return status;
}

VOID SendStreamControl(CameraContext* camera, const FramePackets* packets, bool go) {
    SendStreamPacket(camera, packets, go);
}
