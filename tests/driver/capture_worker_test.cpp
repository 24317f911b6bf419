// The capture worker's conversion step on its own: which filled slot a pass takes, and what a pass
// does while the worker stops.
#include <gtest/gtest.h>

#include <vector>

#include "driver/capture_worker.h"
#include "driver/image_size.h"
#include "imaging/frame_processor.h"
#include "tests/driver/driver_fixture.h"

namespace {

constexpr LONG kWidth = 16;
constexpr LONG kHeight = 8;

class CaptureWorkerTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        camera_ = CameraOfDevice(AddDevice());
        ASSERT_TRUE(SetImageSize(camera_, 0, 0, kWidth, kHeight));
        camera_->raw_row_pitch = kWidth;
        worker_ = CreateCaptureWorker(camera_);
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
        DriverTest::TearDown();
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

    CameraContext* camera_ = nullptr;
    CaptureWorker* worker_ = nullptr;
    std::vector<ULONG> image_ = std::vector<ULONG>(kWidth * kHeight);
    std::vector<UCHAR> raw_[2];
};

TEST_F(CaptureWorkerTest, APassTakesSlotABeforeBAndFreesIt) {
    worker_->slot_state[0] = worker_->slot_state[1] = kSlotFilled;
    ASSERT_TRUE(ConvertLatestFrame(worker_));
    EXPECT_EQ(worker_->slot_state[0], kSlotFree);
    EXPECT_EQ(worker_->slot_state[1], kSlotFilled);
    EXPECT_EQ(image_, ConversionOf(0));
    ASSERT_TRUE(ConvertLatestFrame(worker_));
    EXPECT_EQ(worker_->slot_state[1], kSlotFree);
    EXPECT_EQ(image_, ConversionOf(1));
    // A slot being filled is not a frame.
    worker_->slot_state[0] = kSlotFilling;
    EXPECT_FALSE(ConvertLatestFrame(worker_));
    EXPECT_EQ(worker_->slot_state[0], kSlotFilling);
}

TEST_F(CaptureWorkerTest, APassWhileTheWorkerStopsTouchesNoSlotButCountsAsConverting) {
    worker_->slot_state[0] = kSlotFilled;
    InterlockedExchange8(&worker_->keep_running, 0);
    InterlockedExchange(&worker_->converting, 0);
    EXPECT_FALSE(ConvertLatestFrame(worker_));
    EXPECT_EQ(worker_->slot_state[0], kSlotFilled);
    // Marked all the same: a stop that tests it afterwards waits for the end of this pass.
    EXPECT_EQ(worker_->converting, 1);
}

}  // namespace
