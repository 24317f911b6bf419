// The sensor settings as the camera receives them, on a started device: the register values of
// exposure, global gain and the external trigger, clamping, and what a failed write leaves.
#include <gtest/gtest.h>

#include <vector>

#include "camera/camera_commands.h"
#include "camera/camera_parameters.h"
#include "tests/support/register_writes.h"
#include "tests/support/rig_test.h"

namespace {

using camtest::TakeWrites;
using camtest::Write;

class CameraParametersTest : public camtest::RigTest {
  protected:
    CameraParametersTest() : RigTest({.level = camtest::RigLevel::kStarted}) {}
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(RigTest::SetUp());
        sim().records().Clear();
    }
};

TEST_F(CameraParametersTest, ExposureAndGainAreClampedAndSplitOverTheirRegisters) {
    struct Case {
        ULONG value;
        LONG stored;
        std::vector<Write> writes;
    };
    for (const Case& c : {Case{1, 2, {{158, 2}, {159, 0}, {161, 2}, {162, 0}}},
                          Case{5000, 1252, {{158, 36}, {159, 19}, {161, 36}, {162, 19}}},
                          Case{(ULONG)-1, 1252, {{158, 36}, {159, 19}, {161, 36}, {162, 19}}},
                          Case{100, 100, {{158, 36}, {159, 1}, {161, 36}, {162, 1}}}}) {
        EXPECT_TRUE(SetExposure(camera(), c.value)) << c.value;
        EXPECT_EQ(GetExposure(camera()), c.stored) << c.value;
        EXPECT_EQ(TakeWrites(sim()), c.writes) << c.value;
    }
    for (const Case& c :
         {Case{1023, 1023, {{6, 63}, {7, 15}}}, Case{2000, 1023, {{6, 63}, {7, 15}}},
          Case{100, 100, {{6, 36}, {7, 1}}}}) {
        EXPECT_TRUE(SetGlobalGain(camera(), c.value)) << c.value;
        EXPECT_EQ(GetGlobalGain(camera()), c.stored) << c.value;
        EXPECT_EQ(TakeWrites(sim()), c.writes) << c.value;
    }
}

TEST_F(CameraParametersTest, AFailedWriteStopsTheSetterAndKeepsTheOldValue) {
    ASSERT_TRUE(SetExposure(camera(), 100));
    sim().records().Clear();
    sim().SetFaults({.command = {.next = {1, sim::TransferFault::kError}}});
    EXPECT_FALSE(SetExposure(camera(), 300));
    EXPECT_EQ(GetExposure(camera()), 100);
    EXPECT_TRUE(TakeWrites(sim()).empty());

    ASSERT_TRUE(SetGlobalGain(camera(), 5));
    sim().SetFaults({.command = {.next = {1, sim::TransferFault::kShort}}});
    EXPECT_FALSE(SetGlobalGain(camera(), 7));
    EXPECT_EQ(GetGlobalGain(camera()), 5);
}

TEST_F(CameraParametersTest, TheTriggerRewritesRegister33FromItsLastValue) {
    // On, off, on from the values the start-up left: only the low four bits are cleared before
    // the addition, so the second switch-on writes 44.
    const std::vector<std::pair<UCHAR, std::vector<Write>>> steps = {
        {1, {{32, 11}, {33, 28}}}, {0, {{32, 27}, {33, 17}}}, {1, {{32, 11}, {33, 44}}}};
    for (const auto& [on, writes] : steps) {
        EXPECT_TRUE(SetExternalTrigger(camera(), on));
        EXPECT_EQ(GetExternalTrigger(camera()), on);
        EXPECT_EQ(sim().state().items[11], on);
        EXPECT_EQ(TakeWrites(sim()), writes) << (int)on;
    }

    // A refused item changes nothing.
    sim().SetFaults({.command = {.next = {1, sim::TransferFault::kError}}});
    EXPECT_FALSE(SetExternalTrigger(camera(), 0));
    EXPECT_EQ(GetExternalTrigger(camera()), 1);
    EXPECT_TRUE(TakeWrites(sim()).empty());

    // Whatever a client wrote to register 33, the sum is right in the bits the register keeps
    // (the undefined-behaviour sanitizer sees any overflow on the way).
    ASSERT_TRUE(WriteSensorRegister(camera(), 33, 0x7FFFFFFF));
    TakeWrites(sim());
    EXPECT_TRUE(SetExternalTrigger(camera(), 1));
    EXPECT_EQ(TakeWrites(sim()), (std::vector<Write>{{32, 11}, {33, (0x7FFFFFF0u + 28) & 0x3F}}));
}

TEST_F(CameraParametersTest, TheClockIsTheCamerasAnswerOrTheLastOne) {
    sim().SetClockSetting(1);
    EXPECT_EQ(GetClock(camera()), 1);
    sim().SetClockSetting(3);
    EXPECT_EQ(GetClock(camera()), 2);
    sim().SetClockSetting(0);
    sim().SetFaults({.reply = {.next = {1, sim::TransferFault::kError}}});
    EXPECT_EQ(GetClock(camera()), 2);
    SetClock(camera(), 1);
    EXPECT_EQ(GetClock(camera()), 0);
    EXPECT_EQ(GetAgc(camera()), 0);
    EXPECT_EQ(GetAec(camera()), 0);
}

}  // namespace
