// Streaming under stress: an allocation failing at every point of pin creation, RUN and frame
// delivery; a thousand state cycles with frames flowing; picture numbers while frames outpace
// delivery; stops racing the process pass while colour settings change; and the camera unplugged
// while the pin runs. Each ends with nothing leaked (the rig's teardown and the test main check
// it).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "driver/camera_context.h"
#include "driver/capture_worker.h"
#include "driver/pool_tags.h"
#include "imaging/color_settings.h"
#include "platform/verifier.h"
#include "tests/support/hang_guard.h"
#include "tests/support/rig.h"

namespace {

using camtest::Rig;
using camtest::RigOptions;
using camtest::TakeImage;
using Clock = std::chrono::steady_clock;
namespace client = platform::ks::client;
namespace verifier = platform::verifier;

// Small frames at the link's full speed, so that many pass through in little time.
RigOptions Small(LONG frame_timeout_ms = 3000,
                 camtest::RigLevel level = camtest::RigLevel::kFilter) {
    return {.level = level, .width = 160, .height = 120, .frame_timeout_ms = frame_timeout_ms};
}

// Takes back every completed buffer.
void Drain(client::Pin* pin, std::vector<client::StreamBuffer*>* taken) {
    for (client::StreamBuffer* buffer; (buffer = client::WaitForBuffer(pin, 0)) != nullptr;)
        taken->push_back(buffer);
}

// From STOP, or any state: PAUSE with the taken buffers queued again (new ones the first time).
void PauseWithBuffers(Rig& rig, client::Pin* pin, std::vector<client::StreamBuffer*>* taken) {
    if (client::PinState(pin) != KSSTATE_STOP)
        return;
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    if (taken->empty()) {
        rig.QueueBuffers(pin, 2);
        return;
    }
    for (client::StreamBuffer* buffer : *taken)
        ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
    taken->clear();
}

bool Clean(NTSTATUS status) {
    return status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES;
}

TEST(StreamingFaultTest, EveryAllocationOfFilterCreationMayFail) {
    Rig rig(Small());
    ASSERT_TRUE(rig.ok());
    const size_t blocks = verifier::OutstandingBlocks();
    bool reached_end = false;
    for (uint64_t n = 1; n < 100 && !reached_end; ++n) {
        const uint64_t injected = verifier::InjectedFailures();
        verifier::FailNthAllocation(n);
        client::Filter* filter = nullptr;
        NTSTATUS status = client::OpenFilter(rig.device(), nullptr, &filter);
        verifier::ClearFaults();
        reached_end = verifier::InjectedFailures() == injected;
        EXPECT_TRUE(Clean(status)) << "allocation " << n << ": " << std::hex << status;
        EXPECT_EQ(filter != nullptr, NT_SUCCESS(status)) << n;
        if (filter != nullptr)
            EXPECT_EQ(client::CloseFilter(filter), STATUS_SUCCESS);
        EXPECT_EQ(verifier::OutstandingBlocks(), blocks) << "allocation " << n;
    }
    EXPECT_TRUE(reached_end);
}

TEST(StreamingFaultTest, EveryAllocationOfPinCreationMayFail) {
    Rig rig(Small());
    ASSERT_TRUE(rig.ok());
    const std::vector<uint8_t> format = rig.DefaultFormat();
    size_t blocks = verifier::OutstandingBlocks();
    bool reached_end = false;
    for (uint64_t n = 1; n < 100 && !reached_end; ++n) {
        uint64_t injected = verifier::InjectedFailures();
        verifier::FailNthAllocation(n);
        NTSTATUS status = STATUS_PENDING;
        client::Pin* pin = rig.CreatePin(format, true, &status);
        verifier::ClearFaults();
        reached_end = verifier::InjectedFailures() == injected;
        EXPECT_TRUE(Clean(status)) << "allocation " << n << ": " << std::hex << status;
        EXPECT_EQ(pin != nullptr, NT_SUCCESS(status)) << n;
        if (pin != nullptr)
            EXPECT_EQ(client::ClosePin(pin), STATUS_SUCCESS);
        // A pin that never came into being does not hold the geometry.
        EXPECT_EQ(rig.context()->pin_open, 0) << n;
        EXPECT_EQ(verifier::OutstandingBlocks(), blocks) << "allocation " << n;
    }
    EXPECT_TRUE(reached_end);
}

// Both kinds of RUN: a start from ACQUIRE (capture set-up, buffers, thread) and a resume from PAUSE
// (the thread alone).
TEST(StreamingFaultTest, EveryAllocationOfRunMayFailAndALaterRunDelivers) {
    Rig rig(Small(300));
    ASSERT_TRUE(rig.ok());
    client::Pin* pin = rig.PausedPin(rig.DefaultFormat(), 2);
    ASSERT_NE(pin, nullptr);
    for (KSSTATE back : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
        // Once from where the sweep starts, so that every RUN of it is alike.
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(client::SetPinState(pin, back), STATUS_SUCCESS);
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        bool reached_end = false;
        uint64_t n = 1;
        for (; n < 200 && !reached_end; ++n) {
            uint64_t injected = verifier::InjectedFailures();
            verifier::FailNthAllocation(n);
            NTSTATUS status = client::SetPinState(pin, KSSTATE_RUN);
            // RUN's own allocations end here; the worker's first reads may take the fault later.
            reached_end = verifier::InjectedFailures() == injected;
            verifier::ClearFaults();
            EXPECT_TRUE(Clean(status)) << "allocation " << n << ": " << std::hex << status;
            if (!NT_SUCCESS(status)) {
                EXPECT_EQ(client::PinState(pin), KSSTATE_PAUSE) << n;
                ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS) << n;
            }
            EXPECT_TRUE(TakeImage(pin)) << "allocation " << n;
            ASSERT_EQ(client::SetPinState(pin, back), STATUS_SUCCESS);
            ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        }
        EXPECT_TRUE(reached_end);
        // A start makes more allocations than a resume; each was failed once.
        EXPECT_GT(n, back == KSSTATE_ACQUIRE ? 15u : 2u);
    }
}

TEST(StreamingFaultTest, EveryAllocationOfFrameDeliveryMayFailAndFramesKeepComing) {
    Rig rig(Small(200, camtest::RigLevel::kRunning));
    ASSERT_TRUE(rig.ok());
    client::Pin* pin = rig.pin();
    ASSERT_TRUE(TakeImage(pin));
    // A frame read allocates about a dozen blocks: every position in it, twice over.
    for (uint64_t n = 1; n <= 30; ++n) {
        uint64_t injected = verifier::InjectedFailures();
        verifier::FailNthAllocation(n);
        for (auto deadline = Clock::now() + std::chrono::milliseconds(camtest::kHangGuardMs);
             verifier::InjectedFailures() == injected && Clock::now() < deadline;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        verifier::ClearFaults();
        EXPECT_GT(verifier::InjectedFailures(), injected) << "allocation " << n;
        EXPECT_TRUE(TakeImage(pin)) << "after allocation " << n;
        EXPECT_TRUE(TakeImage(pin)) << "after allocation " << n;
    }
}

TEST(StreamingStressTest, AThousandStateCyclesWithFramesFlowing) {
    Rig rig(Small());
    ASSERT_TRUE(rig.ok());
    client::Pin* pin = rig.CreatePin(rig.DefaultFormat());
    std::vector<client::StreamBuffer*> taken;
    const KSSTATE kBack[] = {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP};
    for (int cycle = 0; cycle < 1000; ++cycle) {
        PauseWithBuffers(rig, pin, &taken);
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS) << cycle;
        ASSERT_TRUE(TakeImage(pin)) << "cycle " << cycle;
        ASSERT_EQ(client::SetPinState(pin, kBack[cycle % 3]), STATUS_SUCCESS) << cycle;
        if (client::PinState(pin) == KSSTATE_STOP)
            Drain(pin, &taken);
    }
}

// Small frames come faster than the passes, which coalesce, deliver them, and pauses cut in
// anywhere: each delivered frame still has a number above the one before it.
TEST(StreamingStressTest, PictureNumbersOnlyRiseWhileFramesOutpaceDeliveryAcrossPauses) {
    Rig rig(Small());
    ASSERT_TRUE(rig.ok());
    client::Pin* pin = rig.PausedPin(rig.DefaultFormat(), 2);
    ASSERT_NE(pin, nullptr);
    LONGLONG last = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
        for (int frame = 0; frame < 10; ++frame) {
            camtest::Delivered image;
            ASSERT_TRUE(TakeImage(pin, &image)) << cycle;
            const LONGLONG picture = image.frame_info.PictureNumber;
            ASSERT_GT(picture, last) << "cycle " << cycle << ", frame " << frame;
            last = picture;
        }
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    }
}

// Stops and pauses land at any point of a process pass, at the full frame size where a pass takes
// longest, while colour setters run against the processor that STOP frees.
TEST(StreamingStressTest, StopsNeverFreeWhatAPassOrASetterStillUses) {
    Rig rig({.frame_timeout_ms = 3000});
    ASSERT_TRUE(rig.ok());
    CameraContext* camera = rig.context();
    std::atomic<bool> done{false};
    std::thread setter([&] {
        for (LONG value = 0; !done; value = (value + 37) % 511) {
            SetBrightness(camera, value);
            SetRedGain(camera, 64 + value % 128);
            GetContrast(camera);
        }
    });
    client::Pin* pin = rig.CreatePin(rig.DefaultFormat());
    std::vector<client::StreamBuffer*> taken;
    std::mt19937 random(7);
    const KSSTATE kBack[] = {KSSTATE_PAUSE, KSSTATE_STOP};
    for (int cycle = 0; cycle < 60; ++cycle) {
        PauseWithBuffers(rig, pin, &taken);
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
        if (cycle % 4 == 0)
            ASSERT_TRUE(TakeImage(pin)) << cycle;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        ASSERT_EQ(client::SetPinState(pin, kBack[random() % 2]), STATUS_SUCCESS);
        // Buffers completed while running go back at once; stopped ones wait for the next start.
        std::vector<client::StreamBuffer*> completed;
        Drain(pin, &completed);
        for (client::StreamBuffer* buffer : completed) {
            if (client::PinState(pin) == KSSTATE_STOP)
                taken.push_back(buffer);
            else
                ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
        }
    }
    done = true;
    setter.join();
}

TEST(StreamingStressTest, ACameraUnpluggedWhileStreamingStopsAndFreesEverything) {
    Rig rig(Small(3000, camtest::RigLevel::kRunning));
    ASSERT_TRUE(rig.ok());
    client::Pin* pin = rig.pin();
    ASSERT_TRUE(TakeImage(pin));
    rig.sim().SetFaults({.disconnected = true});
    // Once the reads in flight have ended, failing reads deliver nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<client::StreamBuffer*> taken;
    Drain(pin, &taken);
    for (client::StreamBuffer* buffer : taken)
        ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
    EXPECT_EQ(client::WaitForBuffer(pin, 500), nullptr);
    // The stop ends with the read in flight, which gives up at its time-out without the camera:
    // the thread is joined, the buffers are freed and the client's come back.
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    const CaptureWorker& worker = *rig.context()->worker;
    EXPECT_EQ(worker.thread, nullptr);
    EXPECT_EQ(worker.run_state, 0);
    EXPECT_EQ(verifier::OutstandingBlocks(kFrameBufferTag), 0u);
    EXPECT_EQ(client::QueuedBufferCount(pin), 0u);
}

}  // namespace
