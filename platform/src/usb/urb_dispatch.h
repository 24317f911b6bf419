// Serves the internal device-control requests that reach the port's bus thread: reads the request,
// checks the URB and hands it to the part that carries it out.
#pragma once

#include "completion.h"
#include "configuration.h"
#include "endpoint_queues.h"
#include "pcap_trace.h"
#include "platform/usb.h"
#include "platform/usb_bus.h"

namespace platform::usb {

class UrbDispatch {
  public:
    UrbDispatch(UsbDeviceModel* model, PcapTrace& trace, EndpointQueues& queues)
        : model_(model), trace_(trace), queues_(queues), configuration_(model, trace, queues) {}

    void Submit(PIRP irp, Completions& done);

  private:
    void Urb(PIRP irp, PURB urb, Completions& done);
    // ABORT_PIPE and SYNC_RESET_PIPE_AND_CLEAR_STALL.
    void PipeRequest(PIRP irp, PURB urb, Completions& done);
    void BulkTransfer(PIRP irp, PURB urb, Completions& done);

    UsbDeviceModel* model_;
    PcapTrace& trace_;
    EndpointQueues& queues_;
    Configuration configuration_;
};

}  // namespace platform::usb
