#include "sim/faults.h"

#include "sim/protocol.h"

namespace sim {

bool FaultyTransfers::Take() {
    if (count == 0) {
        return false;
    }
    --count;
    return true;
}

EndpointFaults* Faults::Endpoint(uint8_t address) {
    switch (address) {
        case kCommandEndpoint:
            return &command;
        case kReplyEndpoint:
            return &reply;
        case kFrameEndpoint:
            return &frame;
        default:
            return nullptr;
    }
}

uint32_t ShortLength(uint32_t length) {
    uint32_t result = length / 2;
    if (result > 0 && result % kMaxPacket == 0) {
        --result;
    }
    return result;
}

}  // namespace sim
