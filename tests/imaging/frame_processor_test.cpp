// ConvertFrame: dispatch, white-balance write-back, missing buffers, and frames converted while
// the matrix is republished.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "imaging/pool_tags.h"
#include "platform/verifier.h"
#include "tests/imaging/imaging_support.h"

namespace {

using imaging_test::Camera;
using imaging_test::FlatRaw;
using imaging_test::Frame;
using imaging_test::Pixel;
using imaging_test::RandomRaw;

// A processor set up for one geometry with an output buffer of its own.
class Stream {
  public:
    Stream(Camera& camera, ULONG width, ULONG height)
        : processor_(camera.processor()), output_(width * height, 0x12345678u) {
        SetConversionGeometry(processor_, width, height);
        AllocateWorkBuffer(processor_);
        processor_->conversion.output_buffer = output_.data();
    }
    ~Stream() {
        processor_->conversion.output_buffer = nullptr;
        FreeWorkBuffer(processor_);
    }
    const std::vector<ULONG>& Convert(const std::vector<UCHAR>& raw) {
        ConvertFrame(processor_, raw.data(), 0, processor_->conversion.conversion_width);
        return output_;
    }
    std::vector<ULONG>& output() { return output_; }

  private:
    FrameProcessor* processor_;
    std::vector<ULONG> output_;
};

bool AllEqual(const std::vector<ULONG>& image, ULONG pixel) {
    for (ULONG p : image) {
        if (p != pixel)
            return false;
    }
    return true;
}

TEST(FrameProcessor, CreateAndFreeReleaseEverything) {
    FrameProcessor* processor = CreateFrameProcessor();
    ASSERT_NE(processor, nullptr);
    EXPECT_EQ(processor->color_enable, 1);
    EXPECT_EQ(processor->red_gain, 128);
    EXPECT_EQ(processor->brightness, 255);
    SetConversionGeometry(processor, 64, 32);
    AllocateWorkBuffer(processor);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kWorkBufferTag), 1u);
    FreeFrameProcessor(processor);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kProcessorTag), 0u);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kWorkBufferTag), 0u);
    FreeFrameProcessor(nullptr);
    platform::verifier::FailAllocationsWithTag(kProcessorTag);
    EXPECT_EQ(CreateFrameProcessor(), nullptr);
    platform::verifier::ClearFaults();
}

TEST(FrameProcessor, MissingBufferConvertsNothing) {
    Camera camera(true);
    FrameProcessor* p = camera.processor();
    const auto raw = RandomRaw(32, 8, 4);
    {
        Stream stream(camera, 32, 8);
        for (ULONG i = 0; i < p->conversion.work_size; ++i)
            p->conversion.work_buffer[i] = 0x3C;
        p->conversion.output_buffer = nullptr;
        stream.Convert(raw);
        for (ULONG i = 0; i < p->conversion.work_size; ++i) {
            ASSERT_EQ(p->conversion.work_buffer[i], 0x3C);
        }
        p->conversion.output_buffer = stream.output().data();
        ConvertFrame(p, nullptr, 0, 32);
        EXPECT_TRUE(AllEqual(stream.output(), 0x12345678u));
    }
    // No work buffer, as after a failed allocation.
    std::vector<ULONG> output(32 * 8, 0x12345678u);
    SetConversionGeometry(p, 32, 8);
    platform::verifier::FailAllocationsWithTag(kWorkBufferTag);
    AllocateWorkBuffer(p);
    platform::verifier::ClearFaults();
    p->conversion.output_buffer = output.data();
    ConvertFrame(p, raw.data(), 0, 32);
    EXPECT_TRUE(AllEqual(output, 0x12345678u));
    p->conversion.output_buffer = nullptr;
}

TEST(FrameProcessor, DispatchFollowsPhaseAndColourEnable) {
    Camera camera(true);
    SetColorCorrection(camera.get(), 0);
    SetHue(camera.get(), 40);
    const ULONG width = 40;
    const ULONG height = 12;
    const auto raw = RandomRaw(width, height, 11);
    Frame reference(width, height);
    reference.Load(raw);
    reference.SetMatrix(camera.Fixed().data());
    Stream stream(camera, width, height);
    for (LONG phase : {0, 1, 2, 3, 7, -1}) {
        InterlockedExchange(&camera.processor()->conversion.bayer_phase, phase);
        EXPECT_EQ(stream.Convert(raw), *reference.Colour(phase < 0 || phase > 2 ? 3 : phase,
                                                         imaging_test::Path::kScalar))
            << phase;
    }
    // Colour off: grey with the gains, no matrix.
    SetColorEnable(camera.get(), 0);
    SetRedGain(camera.get(), 200);
    reference.SetGains(200, 128, 128);
    InterlockedExchange(&camera.processor()->conversion.bayer_phase, 1);
    EXPECT_EQ(stream.Convert(raw), *reference.Grey(1, imaging_test::Path::kScalar));
}

TEST(FrameProcessor, AutomaticWhiteBalanceWritesTheGainsBack) {
    Camera camera(true);
    CameraContext* c = camera.get();
    SetColorCorrection(c, 0);
    SetRedGain(c, 300);
    SetBlueGain(c, 40);
    SetWhiteBalanceAuto(c, 1);
    Stream stream(camera, 32, 16);
    EXPECT_TRUE(AllEqual(stream.Convert(FlatRaw(32, 16, 90)), Pixel(90, 90, 90)));
    EXPECT_EQ(GetRedGain(c), 128);
    EXPECT_EQ(GetGreenGain(c), 128);
    EXPECT_EQ(GetBlueGain(c), 128);
    // A black frame has no finite result: the previous gains stay.
    InterlockedExchange(&camera.processor()->red_gain, 333);
    stream.Convert(FlatRaw(32, 16, 0));
    EXPECT_EQ(GetRedGain(c), 333);
    EXPECT_EQ(GetBlueGain(c), 128);
    SetWhiteBalanceAuto(c, 0);
    EXPECT_EQ(c->red_gain, 333);
}

TEST(FrameProcessor, FramesNeverSeeAHalfPublishedMatrix) {
    // Two setters flip brightness, contrast and saturation between extremes while frames take
    // their snapshots: every snapshot must be one of the eight whole matrices, and a flat frame
    // converted with any of them is flat and grey.
    Camera camera(true);
    SetColorCorrection(camera.get(), 0);
    std::vector<std::vector<LONG>> whole;
    for (LONG brightness : {0, 510}) {
        for (LONG contrast : {0, 20}) {
            for (LONG saturation : {0, 10}) {
                Camera reference(true);
                SetColorCorrection(reference.get(), 0);
                SetBrightness(reference.get(), brightness);
                SetContrast(reference.get(), contrast);
                SetSaturation(reference.get(), saturation);
                whole.push_back(reference.Fixed());
            }
        }
    }
    SetBrightness(camera.get(), 0);
    SetContrast(camera.get(), 0);
    Stream stream(camera, 16, 8);
    const auto raw = FlatRaw(16, 8, 128);
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        LONG toggle = 0;
        while (!stop.load()) {
            toggle ^= 1;
            SetBrightness(camera.get(), toggle != 0 ? 510 : 0);
            SetContrast(camera.get(), toggle != 0 ? 20 : 0);
        }
    });
    std::thread second_setter([&] {
        while (!stop.load()) {
            SetSaturation(camera.get(), GetSaturation(camera.get()) == 10 ? 0 : 10);
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    int snapshots = 0;
    int mixed = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < 64; ++i) {
            const std::vector<LONG> matrix = camera.Fixed();
            if (std::find(whole.begin(), whole.end(), matrix) == whole.end())
                ++mixed;
            ++snapshots;
        }
        const auto& image = stream.Convert(raw);
        const ULONG first = image[0];
        const ULONG red = (first >> 16) & 0xFF;
        const ULONG green = (first >> 8) & 0xFF;
        const ULONG blue = first & 0xFF;
        if (!AllEqual(image, first) || red != green || green != blue)
            ++mixed;
    }
    stop = true;
    setter.join();
    second_setter.join();
    EXPECT_GT(snapshots, 0);
    EXPECT_EQ(mixed, 0);
    // After the storm, the published matrix is the one the settings describe.
    Camera fresh(true);
    SetColorCorrection(fresh.get(), 0);
    SetBrightness(fresh.get(), GetBrightness(camera.get()));
    SetContrast(fresh.get(), GetContrast(camera.get()));
    SetSaturation(fresh.get(), GetSaturation(camera.get()));
    EXPECT_EQ(camera.Fixed(), fresh.Fixed());
}

}  // namespace
