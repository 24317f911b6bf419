#include "urb_dispatch.h"

#include <algorithm>

#include "transfer_buffer.h"
#include "usb_internal.h"

namespace platform::usb {
void UrbDispatch::Submit(PIRP irp, Completions& done) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID argument = stack->Parameters.Others.Argument1;
    Completion completion;
    completion.irp = irp;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            if (argument != nullptr)
                return Urb(irp, static_cast<PURB>(argument), done);
            completion.status = STATUS_INVALID_PARAMETER;
            break;
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
            if (argument != nullptr)
                *static_cast<PULONG>(argument) = model_->PortStatus();
            else
                completion.status = STATUS_INVALID_PARAMETER;
            break;
        case IOCTL_INTERNAL_USB_RESET_PORT:
            model_->ResetPort();
            break;
        default:
            completion.status = STATUS_NOT_SUPPORTED;
            break;
    }
    done.push_back(completion);
}

void UrbDispatch::Urb(PIRP irp, PURB urb, Completions& done) {
    const USHORT length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            // The interface records are optional: deconfiguring sends none.
            if (length >= sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION))
                return configuration_.Select(irp, urb, done);
            break;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            if (length >= sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST))
                return configuration_.GetDescriptor(irp, urb, done);
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            if (length >= sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER))
                return BulkTransfer(irp, urb, done);
            break;
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            if (length >= sizeof(_URB_PIPE_REQUEST))
                return PipeRequest(irp, urb, done);
            break;
        default:
            done.push_back(Refused(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION));
            return;
    }
    done.push_back(Refused(irp, urb, USBD_STATUS_INVALID_PARAMETER));  // too short for its function
}

void UrbDispatch::PipeRequest(PIRP irp, PURB urb, Completions& done) {
    const std::optional<PipeTarget> pipe = queues_.FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (!pipe) {
        done.push_back(Refused(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE));
        return;
    }
    Completion completion;
    completion.irp = irp;
    completion.urb = urb;
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        queues_.EndPending(pipe->address, STATUS_CANCELLED, USBD_STATUS_CANCELED, done);
        done.push_back(completion);
        return;
    }
    // Clearing the halt is a control transfer on the wire.
    const SetupPacket clear_halt{kToEndpoint, kClearFeature, kEndpointHalt, pipe->address, 0};
    completion.trace = TraceEventBuilder::Control(urb, kDefaultPipeOut, clear_halt);
    trace_.Write(completion.trace->Submission(0, nullptr));
    completion.urb_status = model_->ResetPipe(pipe->address);
    if (!USBD_SUCCESS(completion.urb_status))
        completion.status = STATUS_UNSUCCESSFUL;
    done.push_back(completion);
}

void UrbDispatch::BulkTransfer(PIRP irp, PURB urb, Completions& done) {
    _URB_BULK_OR_INTERRUPT_TRANSFER& request = urb->UrbBulkOrInterruptTransfer;
    const std::optional<PipeTarget> pipe = queues_.FindPipe(request.PipeHandle);
    if (!pipe) {
        done.push_back(Refused(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE));
        return;
    }
    uint8_t* buffer = nullptr;
    if ((pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) ||
        !TransferBuffer(request.TransferBufferMDL, request.TransferBuffer,
                        request.TransferBufferLength, &buffer)) {
        done.push_back(Refused(irp, urb, USBD_STATUS_INVALID_PARAMETER));
        return;
    }
    const uint8_t address = pipe->address;
    Transfer transfer{
        .irp = irp,
        .urb = urb,
        .buffer = buffer,
        .length = request.TransferBufferLength,
        .moved = 0,
        .short_ok = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0,
        .trace = TraceEventBuilder::Transfer(urb, pipe->type, address, pipe->interval),
    };
    trace_.Write(transfer.trace.Submission(transfer.length, buffer));
    if (USB_ENDPOINT_DIRECTION_IN(address)) {
        queues_.Add(address, transfer);
        model_->InTransferQueued(address, transfer.length);
        queues_.Pump(address, done);
        return;
    }
    const UsbOutResult result = model_->Out(address, buffer, transfer.length);
    if (result.never_completes) {
        queues_.Add(address, transfer);
        return;
    }
    transfer.moved = std::min(result.accepted, transfer.length);
    const NTSTATUS status = USBD_SUCCESS(result.status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    done.push_back(EndpointQueues::Finish(transfer, status, result.status));
}

}  // namespace platform::usb
