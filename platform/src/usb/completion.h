// How a request to the port ends. The port's parts prepare these on the bus thread; the port
// carries them out once no lock is held, since a completion routine may send the next request at
// once.
#pragma once

#include <optional>
#include <vector>

#include "pcap_trace.h"
#include "platform/io.h"
#include "platform/usb.h"

namespace platform::usb {

struct Completion {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS urb_status = USBD_STATUS_SUCCESS;
    ULONG* transferred = nullptr;  // the URB's length field, when the request moves data
    ULONG moved = 0;
    const uint8_t* buffer = nullptr;         // the transfer's data, for the trace
    std::optional<TraceEventBuilder> trace;  // set when the submission was traced
};

using Completions = std::vector<Completion>;

// A URB refused before it reached the device.
inline Completion Refused(PIRP irp, PURB urb, USBD_STATUS urb_status) {
    Completion completion;
    completion.irp = irp;
    completion.urb = urb;
    completion.status = STATUS_INVALID_PARAMETER;
    completion.urb_status = urb_status;
    return completion;
}

}  // namespace platform::usb
