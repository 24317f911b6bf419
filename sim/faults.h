// How the camera misbehaves on request: one record that tests set as a whole, and that the camera
// uses up as it goes (fault counts fall, a pipe reset lifts its stall, a port reset lifts a
// disconnection and every stall).
#pragma once

#include <cstdint>

#include "platform/usb.h"
#include "sim/descriptors.h"

namespace sim {

enum class TransferFault {
    kShort,  // the transfer completes successfully with about half its bytes
    kError,  // the transfer completes with an error status and carries nothing
};

// The next `count` transfers on an endpoint complete short or with an error. An IN transfer counts
// when the camera has data for it.
struct FaultyTransfers {
    uint32_t count = 0;
    TransferFault kind = TransferFault::kError;
    USBD_STATUS status = USBD_STATUS_CRC;  // of a failed transfer

    // Uses up one fault: false when none is left.
    bool Take();
};

struct EndpointFaults {
    bool stalled = false;  // every transfer stalls until the host resets the pipe or the port
    FaultyTransfers next;
};

struct Faults {
    EndpointFaults command;
    EndpointFaults reply;
    EndpointFaults frame;
    uint32_t drop_frames = 0;   // frames that are started and never sent
    bool silent = false;        // OUT transfers never complete and nothing is sent
    bool disconnected = false;  // the port is connected but not enabled; every transfer fails
    HostileDescriptors descriptors = HostileDescriptors::kNone;

    // The faults of the endpoint with this address; null for an address the camera lacks.
    EndpointFaults* Endpoint(uint8_t address);
};

// The bytes a short completion of `length` carries: about half, never a whole number of packets
// (which would not end the transfer).
uint32_t ShortLength(uint32_t length);

}  // namespace sim
