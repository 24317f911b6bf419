// How a frame goes onto the wire: in pieces, each sent whole, cut short or failed, as the transfer
// faults due on the frame endpoint say.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/faults.h"

namespace sim {

struct Segment {
    uint32_t offset = 0;
    uint32_t send = 0;       // bytes sent from offset
    bool short_end = false;  // ends its transfer with a short packet
    bool fail = false;       // the transfer fails instead
    USBD_STATUS status = USBD_STATUS_SUCCESS;
};

// One piece when no fault is due. Faults hit whole transfers, so otherwise the frame is cut where
// the host's transfers (`queued`, their lengths in order) end; the bytes a faulted transfer misses
// are lost and the rest of the frame stays in place. Uses up the faults it plans.
std::vector<Segment> PlanFrame(uint32_t size, const std::deque<uint32_t>& queued,
                               FaultyTransfers& faults);

}  // namespace sim
