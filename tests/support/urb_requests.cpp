#include "tests/support/urb_requests.h"

#include "tests/support/failure_report.h"

namespace camtest {

bool Request::Wait(int ms) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * ms;
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

NTSTATUS Request::Result(int ms) {
    if (sent != STATUS_PENDING)
        return sent;
    return Wait(ms) ? status.Status : STATUS_TIMEOUT;
}

void Send(PDEVICE_OBJECT port, ULONG code, PVOID argument, Request* request) {
    KeInitializeEvent(&request->event, NotificationEvent, FALSE);
    request->irp = IoBuildDeviceIoControlRequest(code, port, nullptr, 0, nullptr, 0, TRUE,
                                                 &request->event, &request->status);
    if (request->irp == nullptr) {
        ReportFailure("no IRP could be built");
        return;
    }
    IoGetNextIrpStackLocation(request->irp)->Parameters.Others.Argument1 = argument;
    request->sent = IoCallDriver(port, request->irp);
}

NTSTATUS SendAndWait(PDEVICE_OBJECT port, ULONG code, PVOID argument) {
    Request request;
    Send(port, code, argument, &request);
    const NTSTATUS status = request.Result(2000);
    if (status == STATUS_TIMEOUT)
        ReportFailure("request never completed");
    return status;
}

void BuildBulk(URB* urb, USBD_PIPE_HANDLE pipe, bool in, PVOID buffer, ULONG length) {
    *urb = {};
    urb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb->UrbBulkOrInterruptTransfer.TransferFlags =
        USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
}

void BuildPipeRequest(URB* urb, USHORT function, USBD_PIPE_HANDLE pipe) {
    *urb = {};
    urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe;
}

}  // namespace camtest
