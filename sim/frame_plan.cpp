#include "sim/frame_plan.h"

#include <algorithm>

namespace sim {

namespace {

Segment Faulted(Segment segment, FaultyTransfers& faults) {
    if (!faults.Take()) {
        return segment;
    }
    if (faults.kind == TransferFault::kError) {
        segment.send = 0;
        segment.fail = true;
        segment.status = faults.status;
    } else {
        segment.send = ShortLength(segment.send);
        segment.short_end = true;
    }
    return segment;
}

}  // namespace

std::vector<Segment> PlanFrame(uint32_t size, const std::deque<uint32_t>& queued,
                               FaultyTransfers& faults) {
    if (faults.count == 0) {
        return {Segment{0, size}};
    }
    std::vector<Segment> plan;
    uint32_t offset = 0;
    size_t next = 0;
    while (offset < size) {
        uint32_t length = size - offset;
        while (next < queued.size() && queued[next] == 0) {
            ++next;
        }
        if (next < queued.size()) {
            length = std::min(length, queued[next++]);
        }
        plan.push_back(Faulted(Segment{offset, length}, faults));
        offset += length;
    }
    return plan;
}

}  // namespace sim
