// How the camera misbehaves on request: one record that tests set as a whole, and that the camera
// uses up as it goes (fault counts fall, a pipe reset lifts its stall, a port reset lifts a
// disconnection and every stall).
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

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

// How a hostile camera sends one reply packet in place of the one it should.
enum class ReplyFault {
    kWithheld,  // nothing is sent
    kLate,      // held back for `delay_ms`, then sent when the host next reads the reply pipe
    kBytes,     // the scripted bytes are sent instead: shorter, longer or other than the packet
    kError,     // the host's read fails with the scripted status
};

struct ScriptedReply {
    ReplyFault kind = ReplyFault::kBytes;
    std::vector<uint8_t> bytes;            // kBytes: what is sent
    USBD_STATUS status = USBD_STATUS_CRC;  // kError: the read's status
    uint32_t delay_ms = 0;                 // kLate
};

struct Faults {
    EndpointFaults command;
    EndpointFaults reply;
    EndpointFaults frame;
    uint32_t drop_frames = 0;   // frames that are started and never sent
    bool silent = false;        // OUT transfers never complete and nothing is sent
    bool disconnected = false;  // the port is connected but not enabled; every transfer fails
    HostileDescriptors descriptors = HostileDescriptors::kNone;
    // Presented instead of the camera's own descriptors when not empty.
    std::vector<uint8_t> device_descriptor;
    std::vector<uint8_t> configuration_descriptor;
    // Taken one per reply packet the camera sends, in turn, before the reply endpoint's faults.
    std::deque<ScriptedReply> replies;

    // The faults of the endpoint with this address; null for an address the camera lacks.
    EndpointFaults* Endpoint(uint8_t address);
};

// The bytes a short completion of `length` carries: about half, never a whole number of packets
// (which would not end the transfer).
uint32_t ShortLength(uint32_t length);

}  // namespace sim
