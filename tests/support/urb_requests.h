// Requests to a bus port as a driver sends them: internal device controls carrying URBs, and the
// URBs filled in as the driver fills them.
#pragma once

#include "platform/ddk.h"

namespace camtest {

// A request in flight: its IRP, with event and status block.
struct Request {
    KEVENT event;
    IO_STATUS_BLOCK status{};
    PIRP irp = nullptr;
    NTSTATUS sent = STATUS_UNSUCCESSFUL;
    // Waits up to `ms` for completion; true when it completed.
    bool Wait(int ms);
    // The final status: dispatch's own when the request did not pend, STATUS_TIMEOUT when it has
    // not completed within `ms`.
    NTSTATUS Result(int ms);
};

// Sends an internal control request with Argument1 = argument; returns when dispatch returns.
void Send(PDEVICE_OBJECT port, ULONG code, PVOID argument, Request* request);
// Sends and waits (up to two seconds) for completion; returns the final status. A request that
// never completes is reported as a failure.
NTSTATUS SendAndWait(PDEVICE_OBJECT port, ULONG code, PVOID argument);

void BuildBulk(URB* urb, USBD_PIPE_HANDLE pipe, bool in, PVOID buffer, ULONG length);
void BuildPipeRequest(URB* urb, USHORT function, USBD_PIPE_HANDLE pipe);

}  // namespace camtest
