// The property set on a streaming device: the geometry held while any filter has a pin, settings
// changed while streaming reaching the next frames, and property requests from many threads
// while pins start and stop and filters close, each command sequence arriving whole.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

#include "imaging/frame_processor.h"
#include "sim/device_memory.h"
#include "tests/support/command_sequences.h"
#include "tests/support/property_requests.h"
#include "tests/support/rig.h"

namespace {

using camdrv::CameraItem;
using camtest::ItemValue;
using camtest::Rig;
using camtest::RigOptions;
using camtest::SetItem;
namespace client = platform::ks::client;

constexpr LONG kWidth = 160;
constexpr LONG kHeight = 120;
constexpr uint32_t kWaitMs = 30000;

RigOptions Small(bool host_trigger = false, LONG frame_timeout_ms = 3000) {
    RigOptions options;
    options.width = kWidth;
    options.height = kHeight;
    options.host_trigger = host_trigger;
    options.frame_timeout_ms = frame_timeout_ms;
    return options;
}

NTSTATUS SetImageSizeTo(client::Filter* filter, LONG width, LONG height) {
    auto record = camtest::PropertyRecord<camdrv::ImageSizeRequest>(CameraItem::ImageSize,
                                                                    KSPROPERTY_TYPE_SET);
    record.width = width;
    record.height = height;
    return camtest::SendRecord(filter, &record);
}

LONG AdvertisedWidth(client::Filter* filter) {
    return reinterpret_cast<const KS_DATARANGE_VIDEO*>(
               client::PinDescriptor(filter, 0)->PinDescriptor.DataRanges[0])
        ->VideoInfoHeader.bmiHeader.biWidth;
}

// Each filter may have a pin of its own; the geometry stays as it is until the last pin is gone,
// whichever closes first, and the running pin keeps delivering whole frames of its format.
TEST(PropertyStreamingTest, TheGeometryHoldsUntilTheLastPinOfAnyFilterCloses) {
    Rig rig(Small());
    ASSERT_TRUE(rig.ok());
    const std::vector<uint8_t> format = rig.DefaultFormat();
    const ULONG image_size = (ULONG)(kWidth * kHeight * 4);
    client::Filter* second = nullptr;
    ASSERT_EQ(client::OpenFilter(rig.device(), u"GLOBAL", &second), STATUS_SUCCESS);
    for (bool running_closes_first : {false, true}) {
        SCOPED_TRACE(running_closes_first ? "the running pin closes first"
                                          : "the idle pin closes first");
        client::Pin* running = rig.CreatePin(format);
        ASSERT_NE(running, nullptr);
        client::Pin* idle = nullptr;
        ASSERT_EQ(client::CreatePin(second, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                                    {}, &idle),
                  STATUS_SUCCESS);
        ASSERT_EQ(client::SetPinState(running, KSSTATE_PAUSE), STATUS_SUCCESS);
        rig.QueueBuffers(running, 2);
        ASSERT_EQ(client::SetPinState(running, KSSTATE_RUN), STATUS_SUCCESS);

        ASSERT_EQ(client::ClosePin(running_closes_first ? running : idle), STATUS_SUCCESS);
        client::Pin* left = running_closes_first ? idle : running;
        EXPECT_EQ(ItemValue(rig.filter(), CameraItem::PinOpen), 1);
        EXPECT_EQ(SetImageSizeTo(second, 1600, 1200), STATUS_SUCCESS);
        EXPECT_EQ(AdvertisedWidth(rig.filter()), kWidth);
        EXPECT_EQ(rig.context()->image_width, kWidth);
        // A pass that found no new frame hands its buffer back empty.
        for (int frames = 0; !running_closes_first && frames < 2;) {
            client::StreamBuffer* buffer = client::WaitForBuffer(left, kWaitMs);
            ASSERT_NE(buffer, nullptr);
            if (buffer->header->DataUsed != 0) {
                EXPECT_EQ(buffer->header->DataUsed, image_size);
                ++frames;
            }
            EXPECT_EQ(client::SubmitBuffer(left, buffer), STATUS_SUCCESS);
        }
        ASSERT_EQ(client::ClosePin(left), STATUS_SUCCESS);
        EXPECT_EQ(ItemValue(second, CameraItem::PinOpen), 0);
        EXPECT_EQ(SetImageSizeTo(second, 320, 240), STATUS_SUCCESS);
        EXPECT_EQ(AdvertisedWidth(rig.filter()), 320);
        ASSERT_EQ(SetImageSizeTo(second, kWidth, kHeight), STATUS_SUCCESS);
    }
    EXPECT_EQ(client::CloseFilter(second), STATUS_SUCCESS);
}

// The camera holds each frame until the test releases it, so the frame after a setting changed is
// the first one the camera sends, and the driver converts, with it.
TEST(PropertyStreamingTest, SettingsChangedWhileStreamingReachTheNextFrames) {
    Rig rig(Small(true, 120000));
    ASSERT_TRUE(rig.ok());
    client::Pin* pin = rig.PausedPin(rig.DefaultFormat(), 1);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(rig.Run(pin), STATUS_SUCCESS);

    // What the driver applies to the next frame; the measured red gain comes back.
    struct Applied {
        bool flip_h = false;
        LONG red_gain = 128;
        bool white_balance = false;
        LONG measured_red_gain = 0;
    };
    // Delivered rows are bottom-up, each mirrored when flip_h is on.
    auto expect_frame = [&](uint64_t picture, Applied* applied, std::vector<uint8_t>* sent) {
        rig.Step();
        client::StreamBuffer* buffer = client::WaitForBuffer(pin, kWaitMs);
        ASSERT_NE(buffer, nullptr) << picture;
        *sent = rig.RawFrameOfPicture(picture);
        ASSERT_FALSE(sent->empty()) << picture;
        const std::vector<ULONG> image = rig.Convert(
            *sent,
            [&](FrameProcessor* processor) {
                processor->red_gain = applied->red_gain;
                processor->white_balance_auto = applied->white_balance ? 1 : 0;
            },
            [&](const FrameProcessor& processor) {
                applied->measured_red_gain = processor.red_gain;
            });
        std::vector<ULONG> expected;
        for (LONG row = kHeight - 1; row >= 0; --row) {
            for (LONG x = 0; x < kWidth; ++x) {
                expected.push_back(
                    image[(size_t)row * kWidth + (applied->flip_h ? kWidth - 1 - x : x)]);
            }
        }
        EXPECT_EQ(buffer->header->DataUsed, expected.size() * 4) << picture;
        EXPECT_EQ(std::memcmp(buffer->data, expected.data(), expected.size() * 4), 0) << picture;
        EXPECT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
    };
    auto mean = [](const std::vector<uint8_t>& raw) {
        return std::accumulate(raw.begin(), raw.end(), 0.0) / (double)raw.size();
    };
    Applied applied;
    std::vector<uint8_t> first;
    std::vector<uint8_t> raw;
    expect_frame(1, &applied, &first);
    ASSERT_EQ(SetItem(rig.filter(), CameraItem::FlipH, 1), STATUS_SUCCESS);
    ASSERT_EQ(SetItem(rig.filter(), CameraItem::RedGain, 256), STATUS_SUCCESS);
    applied.flip_h = true;
    applied.red_gain = 256;
    expect_frame(2, &applied, &raw);
    ASSERT_EQ(SetItem(rig.filter(), CameraItem::GlobalGain, 1023), STATUS_SUCCESS);
    EXPECT_EQ(rig.sim().state().registers[6], 63u);
    expect_frame(3, &applied, &raw);
    EXPECT_GT(mean(raw), mean(first) + 10);
    // Under automatic white balance a gain reads as measured for the latest frame.
    ASSERT_EQ(SetItem(rig.filter(), CameraItem::WhiteBalance, 1), STATUS_SUCCESS);
    applied.white_balance = true;
    expect_frame(4, &applied, &raw);
    EXPECT_NE(applied.measured_red_gain, 256);
    EXPECT_EQ(ItemValue(rig.filter(), CameraItem::RedGain), applied.measured_red_gain);
}

// Settings loads and saves, re-initialisations, sensor setters, answers of the camera and stream
// set-ups, started by property requests on two filters, pins and filter closes from many threads:
// the camera receives one whole sequence after another and every answer is its own query's.
TEST(PropertyStreamingTest, RequestsFromManyThreadsNeverInterleaveCommandSequences) {
    Rig rig(Small(false, 300));
    ASSERT_TRUE(rig.ok());
    rig.sim().SetClockSetting(1);
    const std::vector<uint8_t> format = rig.DefaultFormat();
    client::Filter* filter = rig.filter();
    // The first stream start runs the register program its second and last time.
    auto stream_once = [&] {
        client::Pin* pin = rig.PausedPin(format, 2);
        ASSERT_NE(pin, nullptr);
        ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(client::ClosePin(pin), STATUS_SUCCESS);
    };
    stream_once();
    ASSERT_EQ(rig.context()->startup_sequence_count, 2);
    const LONG address = 0x0ABC;
    // The register read and the memory read share their index.
    ASSERT_EQ(SetItem(filter, CameraItem::RegisterValue, address), STATUS_SUCCESS);
    rig.sim().records().Clear();

    std::atomic<int> failures{0};
    auto check = [&](bool ok) { failures += ok ? 0 : 1; };
    const std::vector<std::function<void()>> work = {
        [&] {
            for (LONG i = 0; i < 20; ++i) {
                check(SetItem(filter, CameraItem::Exposure, 100 + i) == STATUS_SUCCESS);
                check(SetItem(filter, CameraItem::GlobalGain, 200 + i) == STATUS_SUCCESS);
                check(SetItem(filter, CameraItem::ExTrigger, (i + 1) % 2) == STATUS_SUCCESS);
            }
        },
        [&] {
            auto memory = camtest::PropertyRecord<camdrv::CameraCommandRequest>(
                CameraItem::CameraMemory, KSPROPERTY_TYPE_GET);
            for (int i = 0; i < 20; ++i) {
                LONG clock = 0;
                check(camtest::GetItem(filter, CameraItem::Clock, &clock) == STATUS_SUCCESS);
                check(clock == 1);
                memory.bytes[0] = (UCHAR)~sim::DeviceMemoryByte(address);
                check(camtest::SendRecord(filter, &memory) == STATUS_SUCCESS);
                check(memory.bytes[0] == sim::DeviceMemoryByte(address));
            }
        },
        [&] {
            auto raw = camtest::PropertyRecord<camdrv::CameraCommandRequest>(CameraItem::RawCommand,
                                                                             KSPROPERTY_TYPE_SET);
            raw.length = 3;
            for (LONG i = 0; i < 20; ++i) {
                check(camtest::SendRecord(filter, &raw) == STATUS_SUCCESS);
                check(SetItem(filter, CameraItem::Brightness, 200 + i) == STATUS_SUCCESS);
                check(ItemValue(filter, CameraItem::Brightness) >= 200);
                check(SetItem(filter, CameraItem::Hue, i) == STATUS_SUCCESS);
            }
        },
        [&] {
            for (int i = 0; i < 4; ++i)
                check(SetItem(filter, CameraItem::Reinitialize, 0) == STATUS_SUCCESS);
        },
        [&] {
            for (LONG i = 0; i < 5; ++i) {
                client::Filter* other = nullptr;
                check(client::OpenFilter(rig.device(), u"GLOBAL", &other) == STATUS_SUCCESS);
                if (other == nullptr)
                    continue;
                check(SetItem(other, CameraItem::Contrast, i) == STATUS_SUCCESS);
                check(client::CloseFilter(other) == STATUS_SUCCESS);
            }
        },
        [&] {
            for (int i = 0; i < 5; ++i)
                stream_once();
        },
    };
    camtest::RunTogether(work, 300, "property requests");

    EXPECT_EQ(failures, 0);
    std::vector<int> counts;
    EXPECT_EQ(camtest::UnparsedSequences(camtest::CommandTokens(rig.sim(), false),
                                         camtest::kCommandSequences, &counts),
              "");
    // Exposure, gain, trigger, clock queries, memory reads, raw commands, wake-ups, capture
    // set-ups: every request reached the camera.
    const std::vector<int> at_least = {20, 20, 20, 20, 20, 20, 4, 5};
    for (size_t kind = 0; kind < at_least.size(); ++kind)
        EXPECT_GE(counts[kind], at_least[kind]) << camtest::kCommandSequences[kind][0];
    EXPECT_TRUE(rig.sim().records().ProtocolErrors().empty())
        << rig.sim().records().ProtocolErrors()[0].what;
}

}  // namespace
