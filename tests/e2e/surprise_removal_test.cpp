// The camera pulled out at every transfer of a start, of a frame read, of a property request and
// of the stop that saves the settings: every call returns, the device stops, its worker is joined
// and its buffers come back, nothing leaks (the rig's teardown checks), and the settings file
// reads with every value old or new.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "driver/capture_worker.h"
#include "driver/pool_tags.h"
#include "platform/registry_host.h"
#include "platform/verifier.h"
#include "tests/support/property_requests.h"
#include "tests/support/rig.h"
#include "tests/support/settings_file.h"

namespace {

using camdrv::CameraItem;
using camtest::Rig;
using camtest::RigLevel;
namespace client = platform::ks::client;
namespace verifier = platform::verifier;

// A frame read is the request, the arm, one IN transfer of these small frames and the go.
constexpr int kTransfersOfTwoFrames = 8;

// Small frames where frames flow. A start reads none, and the image takes a size only through an
// open filter, so a start keeps the sensor's.
camtest::RigOptions Small(RigLevel level) {
    camtest::RigOptions options{.level = level, .frame_timeout_ms = 500};
    if (level >= RigLevel::kFilter) {
        options.width = 160;
        options.height = 120;
    }
    return options;
}

// Pulls the camera out at transfer 1, 2, ... of what `work` makes it do, with `work` on a fresh
// rig each time, until a run of `work` ends before the transfer comes. Returns the last point.
// Past the first points, every 17th: the sensor program alone is hundreds of alike writes.
template <typename Work>
int AtEveryTransfer(RigLevel level, Work work, int last_point = 5000) {
    int point = 1;
    for (; point <= last_point; point += point < 32 ? 1 : 17) {
        Rig rig(Small(level));
        EXPECT_TRUE(rig.ok());
        if (!rig.ok())
            return point;
        rig.sim().PullOutAt((uint64_t)point);
        work(rig, point);
        if (!rig.sim().PulledOut())
            break;
    }
    return point;
}

TEST(SurpriseRemovalTest, AtEveryTransferOfAStartTheDeviceFailsOrStartsAndGoesCleanly) {
    // Started or not, the system then stops and removes the device; the rig counts what is left.
    const int points = AtEveryTransfer(RigLevel::kUsb, [](Rig& rig, int) {
        rig.Start();
        rig.Unplug();
    });
    EXPECT_GT(points, 20);
}

// The read in flight and the next ones fail; the worker does not spin on them, and a stop joins
// it and hands every buffer back.
TEST(SurpriseRemovalTest, AtEveryTransferOfAFrameReadTheStopJoinsTheWorkerAndReturnsTheBuffers) {
    const int points = AtEveryTransfer(
        RigLevel::kRunning,
        [](Rig& rig, int point) {
            client::Pin* pin = rig.pin();
            // Frames flow until the transfer comes, or a few frame time-outs have passed without
            // it.
            for (int i = 0; i < 40 && !rig.sim().PulledOut(); ++i) {
                if (client::StreamBuffer* buffer = client::WaitForBuffer(pin, 100))
                    ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
            }
            if (!rig.sim().PulledOut())
                return;
            // A worker that spins on failing reads burns a processor; one that waits, next to none.
            const uint64_t before = verifier::DriverCpuNanoseconds();
            std::this_thread::sleep_for(std::chrono::seconds(1));
            EXPECT_LT(verifier::DriverCpuNanoseconds() - before, 200'000'000u) << point;
            ASSERT_EQ(client::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS) << point;
            const CaptureWorker& worker = *rig.context()->worker;
            EXPECT_EQ(worker.thread, nullptr) << point;
            EXPECT_EQ(verifier::OutstandingBlocks(kFrameBufferTag), 0u) << point;
            EXPECT_EQ(client::QueuedBufferCount(pin), 0u) << point;
        },
        kTransfersOfTwoFrames);
    EXPECT_GT(points, 3);
}

// A setting that talks to the camera, and a get that waits for its answer.
TEST(SurpriseRemovalTest, AtEveryTransferOfAPropertyRequestItReturnsAndTheDeviceStops) {
    for (const CameraItem item : {CameraItem::Exposure, CameraItem::Clock}) {
        SCOPED_TRACE(camdrv::ItemName(item));
        const int points = AtEveryTransfer(RigLevel::kFilter, [item](Rig& rig, int) {
            LONG value = 0;
            if (item == CameraItem::Exposure)
                camtest::SetItem(rig.filter(), item, 700);
            else
                camtest::GetItem(rig.filter(), item, &value);
            // Requests that do not need the camera still work.
            EXPECT_EQ(camtest::SetItem(rig.filter(), CameraItem::Hue, 30), STATUS_SUCCESS);
            rig.CloseFilter();
            rig.Stop();
        });
        EXPECT_GE(points, 1);
    }
}

// The stop saves the settings whatever became of the camera: each value in the file is the one
// before the run or the one the run set, and the file reads.
TEST(SurpriseRemovalTest, AtEveryTransferOfAStopTheSettingsFileHoldsOldOrNewValues) {
    const int points = AtEveryTransfer(RigLevel::kFilter, [](Rig& rig, int point) {
        ASSERT_EQ(camtest::SetItem(rig.filter(), CameraItem::Brightness, 300), STATUS_SUCCESS);
        rig.CloseFilter();
        rig.Stop();
        std::string error;
        EXPECT_TRUE(platform::registry::CheckStoreFile(rig.registry_file(), &error)) << error;
        for (const auto& [name, data] : camtest::StoredSettings(rig.registry_file())) {
            if (name == "Brightness")
                EXPECT_EQ(data, camtest::Dword(300)) << point;
        }
    });
    EXPECT_GE(points, 1);
}

}  // namespace
