// How a frame is cut into pieces on the wire when transfer faults are due on the frame endpoint.
#include <gtest/gtest.h>

#include <string>

#include "sim/frame_plan.h"

namespace sim_test {
namespace {

using sim::TransferFault;

// "offset+bytes" per piece; "s" marks a piece that ends its transfer short, "x" a failed one.
std::string Describe(const std::vector<sim::Segment>& plan) {
    std::string text;
    for (const sim::Segment& segment : plan) {
        text += (text.empty() ? "" : " ") + std::to_string(segment.offset) + "+" +
                std::to_string(segment.send) + (segment.short_end ? "s" : "") +
                (segment.fail ? "x" : "");
    }
    return text;
}

TEST(SimFramePlanTest, FaultsCutTheFrameWhereTheHostsTransfersEnd) {
    const std::deque<uint32_t> quarters = {16384, 16384, 16384, 16384};
    struct Case {
        const char* what;
        uint32_t size;
        std::deque<uint32_t> queued;
        sim::FaultyTransfers faults;
        const char* plan;
        uint32_t left;  // faults still due afterwards
    } cases[] = {
        {"without a fault the frame is one piece", 65536, quarters, {}, "0+65536", 0},
        {"a failed transfer loses its piece only",
         65536,
         quarters,
         {1, TransferFault::kError, USBD_STATUS_BABBLE_DETECTED},
         "0+0x 16384+16384 32768+16384 49152+16384",
         0},
        {"short transfers end early and the rest stays in place",
         65536,
         quarters,
         {2, TransferFault::kShort},
         "0+8191s 16384+8191s 32768+16384 49152+16384",
         0},
        {"empty transfers take no piece; beyond the transfers the rest is one piece",
         2000,
         {0, 1000, 0, 500},
         {1, TransferFault::kError},
         "0+0x 1000+500 1500+500",
         0},
        {"faults beyond the frame's pieces stay due",
         3000,
         {1000},
         {3, TransferFault::kShort},
         "0+500s 1000+1000s",
         1},
    };
    for (Case& c : cases) {
        const std::vector<sim::Segment> plan = sim::PlanFrame(c.size, c.queued, c.faults);
        EXPECT_EQ(Describe(plan), c.plan) << c.what;
        EXPECT_EQ(c.faults.count, c.left) << c.what;
        for (const sim::Segment& segment : plan) {
            EXPECT_EQ(segment.status, segment.fail ? c.faults.status : USBD_STATUS_SUCCESS)
                << c.what;
        }
    }
}

TEST(SimFramePlanTest, AShortCompletionNeverEndsOnAWholePacket) {
    const uint32_t cases[][2] = {{16384, 8191}, {1024, 511}, {1000, 500}, {64, 32}, {1, 0}};
    for (const auto& [length, expected] : cases) {
        EXPECT_EQ(sim::ShortLength(length), expected) << length;
    }
}

}  // namespace
}  // namespace sim_test
