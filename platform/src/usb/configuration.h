// The port's default control pipe as the driver uses it: selecting a configuration, which gives the
// interfaces their pipes, and reading descriptors.
#pragma once

#include <vector>

#include "completion.h"
#include "endpoint_queues.h"
#include "pcap_trace.h"
#include "platform/usb.h"
#include "platform/usb_bus.h"

namespace platform::usb {

class Configuration {
  public:
    Configuration(UsbDeviceModel* model, PcapTrace& trace, EndpointQueues& queues)
        : model_(model), trace_(trace), queues_(queues) {}

    // URB_FUNCTION_SELECT_CONFIGURATION; a null descriptor deconfigures.
    void Select(PIRP irp, PURB urb, Completions& done);
    // URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE.
    void GetDescriptor(PIRP irp, PURB urb, Completions& done);

  private:
    UsbDeviceModel* model_;
    PcapTrace& trace_;
    EndpointQueues& queues_;
};

}  // namespace platform::usb
