// The capture worker's conversion step on its own: which filled slot a pass takes with which
// picture number, and what a pass does while the worker stops.
#include <gtest/gtest.h>

#include <vector>

#include "driver/camera_context_ops.h"
#include "driver/capture_worker.h"
#include "imaging/frame_processor.h"
#include "tests/support/rig_test.h"

namespace {

constexpr LONG kWidth = 16;
constexpr LONG kHeight = 8;

class CaptureWorkerTest : public camtest::RigTest {
  protected:
    CaptureWorkerTest()
        : RigTest({.level = camtest::RigLevel::kUsb,
                   .plugged = false,
                   .width = kWidth,
                   .height = kHeight}) {}
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(RigTest::SetUp());
        camera()->raw_row_pitch = kWidth;
        worker_ = CreateCaptureWorker(camera());
        worker_->processor = NewProcessor(image_.data());
        worker_->rgb_image = image_.data();
        for (int slot = 0; slot < 2; ++slot) {
            raw_[slot].assign(kWidth * kHeight, (UCHAR)(slot == 0 ? 40 : 200));
            worker_->raw_slot[slot] = raw_[slot].data();
        }
        InterlockedExchange8(&worker_->keep_running, 1);
    }
    void TearDown() override {
        FreeFrameProcessor(worker_->processor);
        FreeCaptureWorker(worker_);
    }

    static FrameProcessor* NewProcessor(ULONG* output) {
        FrameProcessor* processor = CreateFrameProcessor();
        SetConversionGeometry(processor, kWidth, kHeight);
        AllocateWorkBuffer(processor);
        processor->conversion.output_buffer = output;
        return processor;
    }
    std::vector<ULONG> ConversionOf(int slot) {
        std::vector<ULONG> image(kWidth * kHeight);
        FrameProcessor* processor = NewProcessor(image.data());
        ConvertFrame(processor, raw_[slot].data(), 0, kWidth);
        FreeFrameProcessor(processor);
        return image;
    }

    CaptureWorker* worker_ = nullptr;
    std::vector<ULONG> image_ = std::vector<ULONG>(kWidth * kHeight);
    std::vector<UCHAR> raw_[2];
};

// Frames go out in the order they were read, whichever slot holds them, each with its own number.
TEST_F(CaptureWorkerTest, APassTakesTheOlderFilledFrameWithItsPictureNumberAndFreesIt) {
    struct Case {
        const char* name;
        ULONG picture[2];
        int first;
    };
    const Case cases[] = {
        {"numbers alike: A first", {0, 0}, 0},
        {"A read first", {1, 2}, 0},
        {"B read first", {4, 3}, 1},
        {"numbers wrapped", {0, 0xFFFFFFFF}, 1},
    };
    for (const Case& c : cases) {
        worker_->slot_state[0] = worker_->slot_state[1] = kSlotFilled;
        worker_->slot_picture[0] = c.picture[0];
        worker_->slot_picture[1] = c.picture[1];
        for (int slot : {c.first, 1 - c.first}) {
            ULONG picture = 7;
            ASSERT_TRUE(ConvertLatestFrame(worker_, &picture)) << c.name;
            EXPECT_EQ(picture, c.picture[slot]) << c.name;
            EXPECT_EQ(worker_->slot_state[slot], kSlotFree) << c.name;
            EXPECT_EQ(image_, ConversionOf(slot)) << c.name;
        }
    }
    // A slot being filled is not a frame.
    worker_->slot_state[0] = kSlotFilling;
    ULONG picture = 0;
    EXPECT_FALSE(ConvertLatestFrame(worker_, &picture));
    EXPECT_EQ(worker_->slot_state[0], kSlotFilling);
}

TEST_F(CaptureWorkerTest, APassWhileTheWorkerStopsTouchesNoSlotButCountsAsConverting) {
    worker_->slot_state[0] = kSlotFilled;
    InterlockedExchange8(&worker_->keep_running, 0);
    InterlockedExchange(&worker_->converting, 0);
    ULONG picture = 0;
    EXPECT_FALSE(ConvertLatestFrame(worker_, &picture));
    EXPECT_EQ(worker_->slot_state[0], kSlotFilled);
    // Marked all the same: a stop that tests it afterwards waits for the end of this pass.
    EXPECT_EQ(worker_->converting, 1);
}

// The frame count is NotifyFrameReady's to raise, as the pin's interface says; the worker numbers a
// frame as it is filled with the count its notification then gives it.
TEST_F(CaptureWorkerTest, NotifyingAFrameCountsItAndAsksThePinToProcess) {
    static int requests = 0;
    static const CapturePinInterface table = {[](CapturePinContext*) { ++requests; }};
    CapturePinContext pin{};
    pin.interface_table = &table;
    camera()->active_pin = &pin;
    camera()->frame_count = 0;
    for (ULONG frame = 1; frame <= 3; ++frame) {
        kFrameSource.NotifyFrameReady(camera());
        EXPECT_EQ(camera()->frame_count, frame);
        EXPECT_EQ(requests, (int)frame);
    }
    camera()->active_pin = nullptr;
}

}  // namespace
