// Frames as a capture application receives them: each one the driver's conversion of the raw frame
// the camera sent for it, rows bottom-up or flipped at the row spacing of the connection format,
// with its time stamp and picture number; and the stream across pause, stop and restart.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "driver/capture_worker.h"
#include "driver/image_size.h"
#include "driver/pool_tags.h"
#include "platform/verifier.h"
#include "tests/support/hang_guard.h"
#include "tests/support/rig.h"

namespace {

using camtest::Delivered;
using camtest::Rig;
using camtest::RigOptions;
namespace client = platform::ks::client;

// The camera holds each frame until the test releases it, so every pass converts the frame the
// camera has just sent; the read never times out while the test takes its time.
RigOptions Stepped(LONG width = 1600, LONG height = 1200) {
    RigOptions options;
    options.width = width;
    options.height = height;
    options.host_trigger = true;
    options.frame_timeout_ms = camtest::kHangGuardMs;
    return options;
}

class FrameDeliveryTest : public testing::Test {
  protected:
    explicit FrameDeliveryTest(const RigOptions& options = Stepped())
        : rig_(options),
          image_width_((ULONG)options.width),
          width_((ULONG)options.width & ~7u),
          height_((ULONG)options.height) {}

    // Releases one frame and takes the buffer it lands in back.
    client::StreamBuffer* TakeFrame(client::Pin* pin) {
        rig_.Step();
        return client::WaitForBuffer(pin, camtest::kHangGuardMs);
    }

    // The delivered rows against the conversion of the raw frame sent for `picture`: rows
    // `spacing` bytes apart, the output width of each converted row (image_width_ pixels apart),
    // last converted row first unless flip_v, mirrored when flip_h, and the bytes between rows
    // untouched.
    void ExpectImageOf(uint64_t picture, const client::StreamBuffer* buffer, ULONG spacing,
                       bool flip_h, bool flip_v) {
        const std::vector<uint8_t> raw = rig_.RawFrameOfPicture(picture);
        ASSERT_FALSE(raw.empty()) << "picture " << picture;
        const std::vector<ULONG> image = rig_.Convert(raw);
        const ULONG width = width_;
        const ULONG height = height_;
        std::vector<ULONG> expected(width);
        for (ULONG row = 0; row < height; ++row) {
            const ULONG* source =
                image.data() + (size_t)(flip_v ? row : height - 1 - row) * image_width_;
            for (ULONG x = 0; x < width; ++x)
                expected[x] = flip_h ? source[width - 1 - x] : source[x];
            const uint8_t* delivered = buffer->data + (size_t)row * spacing;
            ASSERT_EQ(std::memcmp(delivered, expected.data(), width * 4), 0)
                << "picture " << picture << ", delivered row " << row;
            for (ULONG gap = width * 4; gap < spacing; ++gap)
                ASSERT_EQ(delivered[gap], 0xEE) << "row " << row << ", byte " << gap;
        }
    }

    void SetFlips(bool flip_h, bool flip_v) {
        InterlockedExchange(&rig_.context()->flip_h, flip_h ? 1 : 0);
        InterlockedExchange(&rig_.context()->flip_v, flip_v ? 1 : 0);
    }

    Rig rig_;
    const ULONG image_width_;
    const ULONG width_;
    const ULONG height_;
};

// A capture width that is not a multiple of 8: the output is narrower than the converted rows.
class NarrowFrameDeliveryTest : public FrameDeliveryTest {
  protected:
    NarrowFrameDeliveryTest() : FrameDeliveryTest(Stepped(164, 120)) {}
};

TEST_F(FrameDeliveryTest, EachFrameIsTheConversionOfTheRawFrameTheCameraSentForIt) {
    ASSERT_TRUE(rig_.ok());
    client::Pin* pin = rig_.PausedPin(rig_.DefaultFormat(), 2);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(rig_.Run(pin), STATUS_SUCCESS);
    LONGLONG last_time = -1;
    for (uint64_t picture = 1; picture <= 3; ++picture) {
        client::StreamBuffer* buffer = TakeFrame(pin);
        ASSERT_NE(buffer, nullptr) << picture;
        Delivered frame = camtest::Snapshot(buffer);
        EXPECT_EQ(frame.header.DataUsed, 7680000u);
        EXPECT_EQ(frame.header.Duration, 333333);
        EXPECT_EQ(frame.header.PresentationTime.Numerator, 1u);
        EXPECT_EQ(frame.header.PresentationTime.Denominator, 1u);
        EXPECT_EQ(frame.header.OptionsFlags, 0x110u);
        EXPECT_GT(frame.header.PresentationTime.Time, last_time);
        EXPECT_LE(frame.header.PresentationTime.Time, client::PinClockTime(pin));
        last_time = frame.header.PresentationTime.Time;
        EXPECT_EQ(frame.frame_info.ExtendedHeaderSize, 72u);
        EXPECT_EQ(frame.frame_info.PictureNumber, (LONGLONG)picture);
        EXPECT_EQ(frame.frame_info.DropCount, 0);
        ExpectImageOf(picture, buffer, 6400, false, false);
        ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
    }
}

// Every conversion width the processor has, as the driver picks it when the wider ones are hidden:
// each delivers the same conversion, and the extended-state saves around it show which ran.
TEST_F(FrameDeliveryTest, EveryConversionWidthTheProcessorHasDeliversTheConversion) {
    ASSERT_TRUE(rig_.ok());
    struct Width {
        const char* name;
        ULONG widest;  // the feature this width needs
        std::vector<ULONG> hidden;
        uint64_t saved;  // the state the conversion saves; 0 for none
    };
    const Width widths[] = {
        {"512-bit", PF_AVX512F_INSTRUCTIONS_AVAILABLE, {}, XSTATE_MASK_AVX | XSTATE_MASK_AVX512},
        {"256-bit",
         PF_AVX2_INSTRUCTIONS_AVAILABLE,
         {PF_AVX512F_INSTRUCTIONS_AVAILABLE},
         XSTATE_MASK_AVX},
        {"128-bit", 0, {PF_AVX2_INSTRUCTIONS_AVAILABLE}, 0},
    };
    client::Pin* pin = rig_.CreatePin(rig_.DefaultFormat());
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    rig_.QueueBuffers(pin, 2);
    rig_.RestartCount();
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    uint64_t picture = 0;
    int ran = 0;
    for (const Width& width : widths) {
        if (width.widest != 0 && !ExIsProcessorFeaturePresent(width.widest))
            continue;
        platform::verifier::ClearFaults();
        for (ULONG feature : width.hidden)
            platform::verifier::HideProcessorFeature(feature);
        platform::verifier::TakeExtendedStateSaves();
        client::StreamBuffer* buffer = TakeFrame(pin);
        ASSERT_NE(buffer, nullptr) << width.name;
        ++picture;
        const auto saves = platform::verifier::TakeExtendedStateSaves();
        EXPECT_EQ(saves.empty(), width.saved == 0) << width.name;
        for (const auto& save : saves) {
            EXPECT_EQ(save.mask, width.saved) << width.name;
            EXPECT_TRUE(save.succeeded) << width.name;
        }
        ExpectImageOf(picture, buffer, 6400, false, false);
        ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
        ++ran;
    }
    EXPECT_GE(ran, 1);
}

TEST_F(FrameDeliveryTest, FlipsAndTheRowSpacingOfTheConnectionFormat) {
    ASSERT_TRUE(rig_.ok());
    const std::vector<uint8_t> base = rig_.DefaultFormat();
    const std::vector<uint8_t> wide = Rig::WithBitmap(base, 1608, 1200);
    const std::vector<uint8_t> narrow = Rig::WithBitmap(base, 1592, 1200);
    struct Case {
        const char* name;
        bool flip_h;
        bool flip_v;
        const std::vector<uint8_t>* format;
        bool changed;  // the format came by a format change, not with the connection
        ULONG spacing;
        const std::vector<uint8_t>* refused = nullptr;  // a change refused after it
    };
    const Case cases[] = {
        {"mirrored", true, false, &base, false, 6400},
        {"stored order", false, true, &base, false, 6400},
        {"both", true, true, &base, false, 6400},
        {"a wider connection format", false, false, &wide, false, 6400},
        {"a wider format by a change", false, false, &wide, true, 6432},
        {"a refused change after a wider one", false, false, &wide, true, 6432, &narrow},
    };
    for (const Case& c : cases) {
        client::Pin* pin = rig_.CreatePin(c.changed ? base : *c.format);
        ASSERT_NE(pin, nullptr) << c.name;
        if (c.changed) {
            ASSERT_EQ(
                client::SetPinFormat(pin, reinterpret_cast<const KSDATAFORMAT*>(c.format->data())),
                STATUS_SUCCESS);
        }
        if (c.refused != nullptr) {
            ASSERT_EQ(
                client::SetPinFormat(pin, reinterpret_cast<const KSDATAFORMAT*>(c.refused->data())),
                STATUS_NO_MATCH);
        }
        SetFlips(c.flip_h, c.flip_v);
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        rig_.QueueBuffers(pin, 1);
        ASSERT_EQ(rig_.Run(pin), STATUS_SUCCESS);
        client::StreamBuffer* buffer = TakeFrame(pin);
        ASSERT_NE(buffer, nullptr) << c.name;
        SCOPED_TRACE(c.name);
        ExpectImageOf(1, buffer, c.spacing, c.flip_h, c.flip_v);
        ASSERT_EQ(client::ClosePin(pin), STATUS_SUCCESS);
    }
}

// A negative biHeight asks for a top-down bitmap: the first row in memory is the top of the
// picture. The rows then go out in the stored order unless flip_v asks for the picture upside
// down, whether the format came with the connection or by a change.
TEST_F(NarrowFrameDeliveryTest, ATopDownFormatGetsTheTopRowFirst) {
    ASSERT_TRUE(rig_.ok());
    const std::vector<uint8_t> base = rig_.DefaultFormat();
    const std::vector<uint8_t> top_down = Rig::WithBitmap(base, 160, -120);
    struct Case {
        const char* name;
        bool flip_v;
        bool changed;  // the top-down format came by a format change
    };
    const Case cases[] = {
        {"top-down connection format", false, false},
        {"top-down connection format, flip_v", true, false},
        {"top-down format by a change", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        client::Pin* pin = rig_.CreatePin(c.changed ? base : top_down);
        ASSERT_NE(pin, nullptr);
        if (c.changed) {
            ASSERT_EQ(
                client::SetPinFormat(pin, reinterpret_cast<const KSDATAFORMAT*>(top_down.data())),
                STATUS_SUCCESS);
        }
        SetFlips(false, c.flip_v);
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        rig_.QueueBuffers(pin, 1);
        ASSERT_EQ(rig_.Run(pin), STATUS_SUCCESS);
        client::StreamBuffer* buffer = TakeFrame(pin);
        ASSERT_NE(buffer, nullptr);
        // Stored order in memory is what ExpectImageOf calls flip_v.
        ExpectImageOf(1, buffer, 640, false, !c.flip_v);
        ASSERT_EQ(client::ClosePin(pin), STATUS_SUCCESS);
    }
}

TEST_F(FrameDeliveryTest, StampsFollowTheClockAndTheHeaderSize) {
    ASSERT_TRUE(rig_.ok());
    const std::vector<uint8_t> format = rig_.DefaultFormat();
    struct Case {
        const char* name;
        bool clock;
        ULONG header_size;
    };
    for (const Case& c : {Case{"no clock", false, 128}, Case{"a short header", true, 56}}) {
        client::Pin* pin = rig_.CreatePin(format, c.clock);
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        client::StreamBuffer* buffer = rig_.NewBuffer(c.header_size, 7680000);
        buffer->header->OptionsFlags = 0x5;
        buffer->header->PresentationTime.Time = 99;
        if (buffer->frame_info != nullptr)
            buffer->frame_info->PictureNumber = -7;
        ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
        ASSERT_EQ(rig_.Run(pin), STATUS_SUCCESS);
        ASSERT_EQ(TakeFrame(pin), buffer) << c.name;
        Delivered frame = camtest::Snapshot(buffer);
        EXPECT_EQ(frame.header.DataUsed, 7680000u) << c.name;
        EXPECT_EQ(frame.header.Duration, 333333) << c.name;
        if (c.clock) {
            EXPECT_EQ(frame.header.OptionsFlags, 0x110u) << c.name;
            EXPECT_GT(frame.header.PresentationTime.Time, 0) << c.name;
        } else {
            // Without a clock: no time, no picture number, the client's flags left alone.
            EXPECT_EQ(frame.header.OptionsFlags, 0x5u);
            EXPECT_EQ(frame.header.PresentationTime.Time, 0);
            EXPECT_EQ(frame.frame_info.PictureNumber, -7);
            EXPECT_EQ(frame.frame_info.ExtendedHeaderSize, 0u);
        }
        ASSERT_EQ(client::ClosePin(pin), STATUS_SUCCESS);
    }
}

TEST_F(FrameDeliveryTest, BuffersComeBackEmptyWhenTooSmallOrWhenNoFrameIsReady) {
    ASSERT_TRUE(rig_.ok());
    client::Pin* pin = rig_.CreatePin(rig_.DefaultFormat());
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    client::StreamBuffer* small = rig_.NewBuffer(128, 7680000 - 1);
    ASSERT_EQ(client::SubmitBuffer(pin, small), STATUS_SUCCESS);
    rig_.QueueBuffers(pin, 1);
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);

    // A pass before the first frame leaves the queue alone.
    KsPinAttemptProcessing(client::PinObject(pin), TRUE);
    EXPECT_EQ(client::WaitForBuffer(pin, 200), nullptr);
    EXPECT_EQ(client::QueuedBufferCount(pin), 2u);

    ASSERT_EQ(TakeFrame(pin), small);
    Delivered frame = camtest::Snapshot(small);
    EXPECT_EQ(frame.header.DataUsed, 0u);
    EXPECT_EQ(frame.header.OptionsFlags, 0u);
    EXPECT_EQ(std::count(small->data, small->data + small->frame_extent, 0xEE),
              (long)small->frame_extent);

    // A pass with a buffer but no filled slot returns the buffer as it came.
    KsPinAttemptProcessing(client::PinObject(pin), TRUE);
    client::StreamBuffer* unwritten = client::WaitForBuffer(pin, camtest::kHangGuardMs);
    ASSERT_NE(unwritten, nullptr);
    EXPECT_EQ(unwritten->header->DataUsed, 0u);
    EXPECT_EQ(unwritten->header->PresentationTime.Time, 0);
    EXPECT_EQ(unwritten->frame_info->PictureNumber, 0);
    EXPECT_EQ(unwritten->data[0], 0xEE);
}

TEST_F(FrameDeliveryTest, PauseKeepsBuffersAndPictureNumbersAndAStopStartsAnew) {
    ASSERT_TRUE(rig_.ok());
    client::Pin* pin = rig_.PausedPin(rig_.DefaultFormat(), 2);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(rig_.Run(pin), STATUS_SUCCESS);
    auto take = [&] {
        client::StreamBuffer* buffer = TakeFrame(pin);
        EXPECT_NE(buffer, nullptr);
        if (buffer == nullptr)
            return (LONGLONG)-1;
        EXPECT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
        return buffer->frame_info->PictureNumber;
    };
    EXPECT_EQ(take(), 1);
    EXPECT_EQ(take(), 2);
    const CaptureWorker& worker = *rig_.context()->worker;
    const std::vector<const void*> buffers = {worker.rgb_image, worker.raw_slot[0],
                                              worker.raw_slot[1]};

    // RUN after PAUSE resumes: no capture set-up, no allocation of frame buffers (the same ones
    // stay), the client's buffers stay queued, the numbers go on.
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(client::QueuedBufferCount(pin), 2u);
    const uint64_t mark = platform::verifier::AllocationMark();
    ASSERT_EQ(rig_.Run(pin), STATUS_SUCCESS);
    EXPECT_EQ(take(), 3);
    EXPECT_EQ((std::vector<const void*>{worker.rgb_image, worker.raw_slot[0], worker.raw_slot[1]}),
              buffers);
    for (const std::string& block : platform::verifier::FindLeaks(mark))
        EXPECT_EQ(block.find("CmFb"), std::string::npos) << block;
    EXPECT_TRUE(rig_.sim().records().ItemWrites().empty());

    // Through ACQUIRE it starts anew: the capture set-up again, and picture 1.
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Run(pin), STATUS_SUCCESS);
    EXPECT_EQ(take(), 1);
    EXPECT_FALSE(rig_.sim().records().ItemWrites().empty());
}

// Each delivered row is the first output_width pixels of a converted row, and the converted rows
// are image_width pixels apart. Nothing changes that under a running stream: a format change is
// taken only by a stopped pin, a geometry change only while no pin exists, and even the camera's
// geometry rewritten under the stream leaves the copies as the stream's buffers were sized.
TEST_F(NarrowFrameDeliveryTest, RowsKeepTheGeometryTheStreamStartedWith) {
    ASSERT_TRUE(rig_.ok());
    const std::vector<uint8_t> base = rig_.DefaultFormat();
    client::Pin* pin = rig_.PausedPin(base, 1);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(rig_.Run(pin), STATUS_SUCCESS);
    client::StreamBuffer* buffer = TakeFrame(pin);
    ASSERT_NE(buffer, nullptr);
    ExpectImageOf(1, buffer, 640, false, false);

    const std::vector<uint8_t> wide = Rig::WithBitmap(base, 168, 120);
    EXPECT_EQ(client::SetPinFormat(pin, reinterpret_cast<const KSDATAFORMAT*>(wide.data())),
              STATUS_INVALID_DEVICE_STATE);
    CameraContext* camera = rig_.context();
    EXPECT_FALSE(SetImageSize(camera, 0, 0, 800, 600));
    const LONG image_width = camera->image_width;
    camera->image_width = 1600;
    ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
    buffer = TakeFrame(pin);
    camera->image_width = image_width;
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->header->DataUsed, 160u * 120u * 4u);
    ExpectImageOf(2, buffer, 640, false, false);
}

}  // namespace
