// The capture pin as a capture application meets it through the client calls: connection formats,
// intersection, allocator framing, the camera claimed by one pin at a time, RUN on a device
// without a worker or with a worker thread that cannot be referenced, and a pin kept across a
// device stop and start.
#include <gtest/gtest.h>

#include "driver/capture_worker.h"
#include "driver/image_size.h"
#include "driver/pool_tags.h"
#include "platform/ks_host.h"
#include "platform/verifier.h"
#include "tests/support/hang_guard.h"
#include "tests/support/rig.h"

namespace {

using camtest::Rig;
using camtest::RigOptions;
namespace client = platform::ks::client;

constexpr ULONG kThreadObjectTag = MakePoolTag("PThr");  // the stand-in's thread objects

RigOptions Small() {
    RigOptions options;
    options.width = 160;
    options.height = 120;
    return options;
}

KS_DATARANGE_VIDEO AdvertisedRange(Rig& rig) {
    return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(
        client::PinDescriptor(rig.filter(), 0)->PinDescriptor.DataRanges[0]);
}

TEST(CapturePinTest, ConnectionFormatsAreCheckedWhenThePinIsCreated) {
    Rig rig;
    ASSERT_TRUE(rig.ok());
    const std::vector<uint8_t> base = rig.DefaultFormat();
    ASSERT_EQ(base.size(), sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    struct Case {
        const char* name;
        std::vector<uint8_t> format;
        NTSTATUS status;
    };
    std::vector<Case> cases = {
        {"the advertised format", base, STATUS_SUCCESS},
        {"a wider bitmap", Rig::WithBitmap(base, 1608, 1200), STATUS_SUCCESS},
        {"top-down rows", Rig::WithBitmap(base, 1600, -1200), STATUS_SUCCESS},
        {"a narrower bitmap", Rig::WithBitmap(base, 1592, 1200), STATUS_NO_MATCH},
        {"another height", Rig::WithBitmap(base, 1600, 1199), STATUS_NO_MATCH},
    };
    auto with = [&](const char* name, NTSTATUS status, auto edit) {
        std::vector<uint8_t> format = base;
        edit(format, Rig::Bitmap(format));
        cases.push_back({name, format, status});
    };
    with("an image size one byte short", STATUS_INVALID_PARAMETER,
         [](auto&, KS_BITMAPINFOHEADER& bitmap) { --bitmap.biSizeImage; });
    // 2^30 pixels of 4 bytes wrap a 32-bit product to 0; the check is made in 64 bits.
    with("a width whose row size wraps", STATUS_INVALID_PARAMETER,
         [](auto&, KS_BITMAPINFOHEADER& bitmap) { bitmap.biWidth = 0x40000000; });
    with("a compressed bitmap", STATUS_NO_MATCH,
         [](auto&, KS_BITMAPINFOHEADER& bitmap) { bitmap.biCompression = 3; });
    with("a bitmap header past the format", STATUS_INVALID_PARAMETER,
         [](auto&, KS_BITMAPINFOHEADER& bitmap) { bitmap.biSize = 41; });
    with("a format without a whole bitmap header", STATUS_NO_MATCH, [](auto& format, auto&) {
        reinterpret_cast<KSDATAFORMAT*>(format.data())->FormatSize = 151;
    });
    for (const Case& c : cases) {
        NTSTATUS status = STATUS_PENDING;
        client::Pin* pin = rig.CreatePin(c.format, true, &status);
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(pin != nullptr, NT_SUCCESS(c.status)) << c.name;
        if (pin == nullptr)
            continue;
        // Each instance frames exactly one image of its format, twice.
        const KS_FRAMING_ITEM& item = client::PinAllocatorFraming(pin)->FramingItem[0];
        std::vector<uint8_t> format = c.format;
        const ULONG image = Rig::Bitmap(format).biSizeImage;
        EXPECT_EQ(item.Frames, 2u) << c.name;
        EXPECT_EQ(item.PhysicalRange.MinFrameSize, image) << c.name;
        EXPECT_EQ(item.PhysicalRange.MaxFrameSize, image) << c.name;
        EXPECT_EQ(item.PhysicalRange.Stepping, 0u) << c.name;
        EXPECT_EQ(item.FramingRange.Range.MinFrameSize, image) << c.name;
        EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, image) << c.name;
        EXPECT_EQ(item.FramingRange.Range.Stepping, 0u) << c.name;
        // The geometry is fixed while a pin exists.
        EXPECT_FALSE(SetImageSize(rig.context(), 0, 0, 800, 600)) << c.name;
        EXPECT_EQ(client::ClosePin(pin), STATUS_SUCCESS);
    }
    EXPECT_EQ(client::PinDescriptor(rig.filter(), 0)
                  ->AllocatorFraming->FramingItem[0]
                  .FramingRange.Range.MinFrameSize,
              8192u);
    EXPECT_TRUE(SetImageSize(rig.context(), 0, 0, 1600, 1200));
}

// A format change to a wider bitmap makes each image larger: the framing follows it, so that
// buffers sized as the pin asks hold the frames it then delivers.
TEST(CapturePinTest, AFormatChangeTakesTheAllocatorFramingToTheNewImageSize) {
    Rig rig(Small());
    ASSERT_TRUE(rig.ok());
    const std::vector<uint8_t> base = rig.DefaultFormat();
    const std::vector<uint8_t> wide = Rig::WithBitmap(base, 168, 120);
    const ULONG image = 168u * 120u * 4u;
    client::Pin* pin = rig.CreatePin(base);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(client::SetPinFormat(pin, reinterpret_cast<const KSDATAFORMAT*>(wide.data())),
              STATUS_SUCCESS);
    const KS_FRAMING_ITEM& item = client::PinAllocatorFraming(pin)->FramingItem[0];
    EXPECT_EQ(item.PhysicalRange.MinFrameSize, image);
    EXPECT_EQ(item.PhysicalRange.MaxFrameSize, image);
    EXPECT_EQ(item.FramingRange.Range.MinFrameSize, image);
    EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, image);

    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    client::StreamBuffer* buffer = rig.NewBuffer(128, item.FramingRange.Range.MaxFrameSize);
    ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
    ASSERT_EQ(rig.Run(pin), STATUS_SUCCESS);
    // Frames flow: the buffer comes back at once each time, filled or refused as too small.
    ULONG data_used = 0;
    for (int take = 0; take < 3 && data_used == 0; ++take) {
        ASSERT_EQ(client::WaitForBuffer(pin, camtest::kHangGuardMs), buffer);
        data_used = buffer->header->DataUsed;
        ASSERT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
    }
    EXPECT_EQ(data_used, image) << "no buffer of the framing's size was filled";
}

TEST(CapturePinTest, IntersectionAnswersTheSizeThenTheCallersFormatWithThePinsCapabilities) {
    Rig rig;
    ASSERT_TRUE(rig.ok());
    KS_DATARANGE_VIDEO caller = AdvertisedRange(rig);
    caller.VideoInfoHeader.AvgTimePerFrame = 666666;
    caller.VideoInfoHeader.rcTarget = {1, 2, 3, 4};
    // Wider than the pin's and top-down: a bitmap the pin takes.
    caller.VideoInfoHeader.bmiHeader.biWidth = 1608;
    caller.VideoInfoHeader.bmiHeader.biHeight = -1200;
    ULONG size = 0;
    EXPECT_EQ(client::Intersect(rig.filter(), 0, &caller.DataRange, 0, nullptr, &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    UCHAR small[151];
    EXPECT_EQ(client::Intersect(rig.filter(), 0, &caller.DataRange, sizeof(small), small, &size),
              STATUS_BUFFER_TOO_SMALL);

    std::vector<uint8_t> format;
    ASSERT_EQ(client::IntersectFormat(rig.filter(), 0, &caller.DataRange, &format), STATUS_SUCCESS);
    const auto& result = *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    EXPECT_EQ(result.DataFormat.FormatSize, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    EXPECT_TRUE(IsEqualGUID(result.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_RGB32));
    EXPECT_EQ(result.VideoInfoHeader.AvgTimePerFrame, 666666);
    EXPECT_EQ(result.VideoInfoHeader.rcTarget.right, 3);
    EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biWidth, 1608);
    EXPECT_EQ(result.DataFormat.SampleSize, 1608u * 1200u * 4u);
    EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biSizeImage, 1608u * 1200u * 4u);
    client::Pin* pin = rig.CreatePin(format);
    EXPECT_NE(pin, nullptr);
    client::ClosePin(pin);

    struct Case {
        const char* name;
        void (*edit)(KS_DATARANGE_VIDEO&);
        NTSTATUS status;
    };
    const Case refusals[] = {
        {"one byte of the capabilities", [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.CropAlignY = 2; },
         STATUS_NO_MATCH},
        {"temporal compression", [](KS_DATARANGE_VIDEO& r) { r.bTemporalCompression = FALSE; },
         STATUS_NO_MATCH},
        {"a range shorter than a video range",
         [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = 295; }, STATUS_NO_MATCH},
        {"a bitmap header past the range",
         [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 41; },
         STATUS_INVALID_PARAMETER},
        {"a bitmap header shorter than its record",
         [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 20; },
         STATUS_INVALID_PARAMETER},
        // Only bitmaps a pin takes are offered, and no size computed on the way overflows.
        {"a narrower bitmap",
         [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biWidth = 800; }, STATUS_NO_MATCH},
        {"another height", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biHeight = -3; },
         STATUS_NO_MATCH},
        {"8 bits per pixel",
         [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biBitCount = 8; },
         STATUS_NO_MATCH},
        {"no bits per pixel",
         [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biBitCount = 0; },
         STATUS_NO_MATCH},
        {"an image of more than 4 GiB",
         [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biWidth = 0x7FFFFFFF; },
         STATUS_NO_MATCH},
        {"every size at its largest",
         [](KS_DATARANGE_VIDEO& r) {
             r.VideoInfoHeader.bmiHeader.biBitCount = 0xFFFF;
             r.VideoInfoHeader.bmiHeader.biWidth = 0x7FFFFFFF;
             r.VideoInfoHeader.bmiHeader.biHeight = 0x7FFFFFFF;
         },
         STATUS_NO_MATCH},
    };
    for (const Case& c : refusals) {
        KS_DATARANGE_VIDEO range = AdvertisedRange(rig);
        c.edit(range);
        EXPECT_EQ(client::IntersectFormat(rig.filter(), 0, &range.DataRange, &format), c.status)
            << c.name;
    }
}

TEST(CapturePinTest, OnePinHoldsTheCameraAndOnlyA32BitFormatAcquiresIt) {
    Rig rig;
    ASSERT_TRUE(rig.ok());
    const std::vector<uint8_t> base = rig.DefaultFormat();
    std::vector<uint8_t> grey = base;
    Rig::Bitmap(grey).biBitCount = 24;
    // Refused at ACQUIRE, not at creation, and the camera stays free.
    client::Pin* pin = rig.CreatePin(grey);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(client::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client::PinState(pin), KSSTATE_STOP);
    EXPECT_EQ(rig.context()->camera_acquired, 0);
    ASSERT_EQ(client::ClosePin(pin), STATUS_SUCCESS);

    client::Filter* other = nullptr;
    ASSERT_EQ(client::OpenFilter(rig.device(), nullptr, &other), STATUS_SUCCESS);
    client::Pin* first = rig.CreatePin(base);
    client::Pin* second = nullptr;
    ASSERT_EQ(client::CreatePin(other, 0, reinterpret_cast<const KSDATAFORMAT*>(base.data()), {},
                                &second),
              STATUS_SUCCESS);
    ASSERT_EQ(client::SetPinState(first, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    FrameProcessor* processor = rig.context()->processor;
    ASSERT_NE(processor, nullptr);
    EXPECT_EQ(client::SetPinState(second, KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(client::PinState(second), KSSTATE_STOP);
    EXPECT_EQ(rig.context()->processor, processor);
    EXPECT_EQ(client::SetPinState(first, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(client::SetPinFormat(first, reinterpret_cast<const KSDATAFORMAT*>(base.data())),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(client::CloseFilter(other), STATUS_SUCCESS);
}

TEST(CapturePinTest, RunWithoutAWorkerFailsAndChangesNothing) {
    platform::verifier::FailAllocationsWithTag(kWorkerTag);
    Rig rig;
    platform::verifier::ClearFaults();
    ASSERT_TRUE(rig.ok());
    ASSERT_EQ(rig.context()->worker, nullptr);
    client::Pin* pin = rig.CreatePin(rig.DefaultFormat());
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    rig.sim().records().Clear();
    EXPECT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(client::PinState(pin), KSSTATE_PAUSE);
    EXPECT_TRUE(rig.sim().records().ItemWrites().empty());  // no capture set-up
    // A process call all the same finds nothing to deliver and leaves the queue alone.
    rig.QueueBuffers(pin, 1);
    PKSPIN object = client::PinObject(pin);
    EXPECT_EQ(object->Descriptor->Dispatch->Process(object), STATUS_PENDING);
    EXPECT_EQ(client::QueuedBufferCount(pin), 1u);
}

// The thread runs but could never be joined: RUN ends it and fails, from ACQUIRE and from PAUSE,
// and a later RUN streams.
TEST(CapturePinTest, RunFailsWithNothingLeftRunningWhenItsThreadCannotBeReferenced) {
    Rig rig(Small());
    ASSERT_TRUE(rig.ok());
    client::Pin* pin = rig.PausedPin(rig.DefaultFormat(), 2);
    ASSERT_NE(pin, nullptr);
    CaptureWorker* worker = rig.context()->worker;
    for (bool resume : {false, true}) {
        SCOPED_TRACE(resume ? "resume" : "start");
        if (resume) {
            ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
            ASSERT_TRUE(camtest::TakeImage(pin));
            ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
        }
        const size_t threads = platform::verifier::OutstandingBlocks(kThreadObjectTag);
        platform::verifier::FailObjectReferences();
        EXPECT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_ACCESS_DENIED);
        platform::verifier::ClearFaults();
        EXPECT_EQ(client::PinState(pin), KSSTATE_PAUSE);
        EXPECT_EQ(worker->thread, nullptr);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kThreadObjectTag), threads);
        // A failed start keeps no buffers; a failed resume keeps the paused stream's.
        EXPECT_EQ(worker->run_state, resume ? 1 : 0);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kFrameBufferTag), resume ? 3u : 0u);
    }
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_TRUE(camtest::TakeImage(pin));
}

// The worker a pin streams with survives a device stop and start, so the pin's later state
// changes still reach it.
TEST(CapturePinTest, APinPausedAcrossADeviceStopAndStartResumesOnTheSameWorker) {
    Rig rig(Small());
    ASSERT_TRUE(rig.ok());
    client::Pin* pin = rig.PausedPin(rig.DefaultFormat(), 2);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(camtest::TakeImage(pin));
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    CaptureWorker* worker = rig.context()->worker;
    platform::ks::StopDevice(rig.device());
    ASSERT_EQ(platform::ks::StartDevice(rig.device()), STATUS_SUCCESS);
    EXPECT_EQ(rig.context()->worker, worker);
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_TRUE(camtest::TakeImage(pin));
    ASSERT_EQ(client::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(worker->run_state, 0);
    EXPECT_EQ(worker->thread, nullptr);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kFrameBufferTag), 0u);
}

}  // namespace
