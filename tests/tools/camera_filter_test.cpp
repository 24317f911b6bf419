// The client library's camera filter on a started device: what it makes of the camera's answers.
#include <gtest/gtest.h>

#include "sim/device_memory.h"
#include "tests/support/rig_test.h"
#include "tools/common/camera_filter.h"

namespace {

class CameraFilterTest : public camtest::RigTest {
  protected:
    CameraFilterTest() : RigTest({.level = camtest::RigLevel::kStarted}) {}
};

// A byte equal to the buffer's fill is an answer too; a camera that says nothing is not one.
TEST_F(CameraFilterTest, AMemoryReadTellsASilentCameraFromAnyByte) {
    camtools::CameraFilter filter(rig_.device());
    ASSERT_EQ(filter.status(), STATUS_SUCCESS);
    for (const LONG address : {0x123, 0x1000, 0x0}) {
        SCOPED_TRACE(address);
        UCHAR byte = 0;
        bool answered = false;
        ASSERT_EQ(filter.ReadMemory(address, &byte, &answered), STATUS_SUCCESS);
        EXPECT_TRUE(answered);
        EXPECT_EQ(byte, sim::DeviceMemoryByte((uint32_t)address));
    }
    sim::Faults faults;
    faults.reply.next = {1000, sim::TransferFault::kError};
    sim().SetFaults(faults);
    UCHAR byte = 0x42;
    bool answered = true;
    EXPECT_EQ(filter.ReadMemory(0x123, &byte, &answered), STATUS_SUCCESS);
    EXPECT_FALSE(answered);
    EXPECT_EQ(byte, 0x42);
    sim().SetFaults({});
    EXPECT_EQ(filter.Close(), STATUS_SUCCESS);
}

}  // namespace
