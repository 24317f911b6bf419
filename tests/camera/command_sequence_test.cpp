// Command sequences started from many threads at once, as property requests, stream starts,
// re-initialisations and device start and stop would start them: the camera receives one whole
// sequence after another, and every answer is the one its own query asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera_commands.h"
#include "camera/camera_parameters.h"
#include "camera/capture_setup.h"
#include "control/settings_persistence.h"
#include "driver/camera_init.h"
#include "platform/registry_host.h"
#include "sim/device_memory.h"
#include "tests/support/command_sequences.h"
#include "tests/support/rig_test.h"

namespace {

class CommandSequenceTest : public camtest::UsbRigTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(UsbRigTest::SetUp());
        platform::registry::SetStoreFile("");
        sim().SetClockSetting(1);
        ASSERT_EQ(rig_.Replug(), STATUS_SUCCESS);
        ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
        rig_.Stop();
        ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
        ASSERT_EQ(camera()->startup_sequence_count, 2);
        sim().records().Clear();
    }
};

TEST_F(CommandSequenceTest, SequencesFromManyThreadsNeverInterleaveOnTheWire) {
    const uint32_t address = 0x0ABC;
    const UCHAR stored = sim::DeviceMemoryByte(address);
    SetRegisterIndex(camera(), (LONG)address);
    std::atomic<int> wrong_answers{0};
    CameraContext* camera = this->camera();
    // A call made while the device is stopped fails at once and sends nothing, so the workers
    // count the calls that reached the camera, and wait a moment for the restart after a failure.
    auto until_sent = [](int count, const std::function<bool(int)>& call) {
        for (int i = 0, sent = 0; sent < count; ++i) {
            if (call(i))
                ++sent;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    const std::vector<std::function<void()>> work = {
        [&] { until_sent(20, [&](int i) { return SetExposure(camera, 100 + (ULONG)i); }); },
        [&] { until_sent(20, [&](int i) { return SetGlobalGain(camera, 200 + (ULONG)i); }); },
        [&] { until_sent(20, [&](int i) { return SetExternalTrigger(camera, (UCHAR)(i % 2)); }); },
        [&] {
            until_sent(20, [&](int) {
                if (GetClock(camera) != 1)
                    ++wrong_answers;
                // Left alone when the read fails.
                UCHAR value = (UCHAR)~stored;
                ReadCameraMemory(camera, &value);
                if (value != stored && value != (UCHAR)~stored)
                    ++wrong_answers;
                return value == stored;
            });
        },
        [&] {
            const UCHAR bytes[3] = {1, 2, 3};
            until_sent(20, [&](int) { return SendRawCommand(camera, 3, bytes); });
        },
        [&] {
            for (int i = 0; i < 4; ++i) {
                InitializeCamera(camera);
                SaveSettings(camera);
            }
        },
        [&] {
            for (int i = 0; i < 4; ++i)
                StartCapture(camera, nullptr, 0, 0);
        },
        [&] {
            for (int i = 0; i < 3; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                rig_.Stop();
                rig_.Start();
            }
        },
    };
    camtest::RunTogether(work, 60, "command sequences");

    EXPECT_EQ(wrong_answers, 0);
    std::vector<int> counts;
    EXPECT_EQ(camtest::UnparsedSequences(camtest::CommandTokens(sim()), camtest::kCommandSequences,
                                         &counts),
              "");
    // Every worker that counts got its calls through (the clock queries go with the memory reads,
    // not counted themselves); the three restarts each woke the camera.
    for (size_t kind : {0, 1, 2, 4, 5})
        EXPECT_GE(counts[kind], 20)
            << "sequences starting with " << camtest::kCommandSequences[kind][0];
    EXPECT_GE(counts[3], 1) << "clock queries";
    EXPECT_GE(counts[6], 3) << "wake-ups";
    EXPECT_TRUE(sim().records().ProtocolErrors().empty())
        << sim().records().ProtocolErrors()[0].what;
}

}  // namespace
