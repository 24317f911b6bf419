#include "tests/support/streaming_rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "driver/camera_context_ops.h"
#include "imaging/frame_processor.h"
#include "platform/ks_host.h"
#include "platform/usb_bus.h"
#include "tests/support/driver_under_test.h"
#include "tests/support/property_requests.h"
#include "usb/usb_transport.h"

namespace camtest {

namespace {

constexpr size_t kKeptFrames = 8;
WCHAR kReference[] = u"GLOBAL";

}  // namespace

StreamingRig::StreamingRig(const RigOptions& options)
    : options_(options), camera_(std::make_unique<sim::SimCamera>()) {
    camera_->SetLinkSpeed(options.link_speed);
    camera_->SetWindow((uint32_t)options.width, (uint32_t)options.height);
    camera_->SetHostTrigger(options.host_trigger);
    camera_->records().KeepSentFrames(kKeptFrames);
    port_ = platform::UsbBusPlugIn(camera_.get());
    EXPECT_EQ(LoadDriverUnderTest(), STATUS_SUCCESS);
    volatile LONG& timeout = DriverGlobal(frame_timeout_ms, "frame_timeout_ms");
    saved_timeout_ = timeout;
    timeout = options.frame_timeout_ms;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    device_ = platform::ks::CreateDevice(port_, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (device_ == nullptr)
        return;
    EXPECT_EQ(platform::ks::StartDevice(device_), STATUS_SUCCESS);
    EXPECT_EQ(client::OpenFilter(device_, kReference, &filter_), STATUS_SUCCESS);
    if (filter_ != nullptr && (options.width != 1600 || options.height != 1200)) {
        auto size = PropertyRecord<camdrv::ImageSizeRequest>(camdrv::CameraItem::ImageSize,
                                                             KSPROPERTY_TYPE_SET);
        size.width = options.width;
        size.height = options.height;
        EXPECT_EQ(SendRecord(filter_, &size), STATUS_SUCCESS);
    }
}

StreamingRig::~StreamingRig() {
    if (filter_ != nullptr)
        client::CloseFilter(filter_);
    for (client::StreamBuffer* buffer : buffers_)
        client::FreeStreamBuffer(buffer);
    if (device_ != nullptr) {
        platform::ks::StopDevice(device_);
        EXPECT_EQ(platform::ks::RemoveDevice(device_), 0u);
    }
    DriverGlobal(frame_timeout_ms, "frame_timeout_ms") = saved_timeout_;
    EXPECT_EQ(platform::ks::UnloadDriver(), 0u);
    platform::UsbBusUnplug(port_);
}

CameraContext* StreamingRig::context() const {
    return CameraOfDevice(device_);
}

std::vector<uint8_t> StreamingRig::DefaultFormat() {
    const KSPIN_DESCRIPTOR_EX* pin = client::PinDescriptor(filter_, 0);
    std::vector<uint8_t> format;
    EXPECT_EQ(client::IntersectFormat(filter_, 0, pin->PinDescriptor.DataRanges[0], &format),
              STATUS_SUCCESS);
    return format;
}

KS_BITMAPINFOHEADER& StreamingRig::Bitmap(std::vector<uint8_t>& format) {
    return reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
        ->VideoInfoHeader.bmiHeader;
}

std::vector<uint8_t> StreamingRig::WithBitmap(const std::vector<uint8_t>& format, LONG width,
                                              LONG height) {
    std::vector<uint8_t> result = format;
    KS_BITMAPINFOHEADER& bitmap = Bitmap(result);
    bitmap.biWidth = width;
    bitmap.biHeight = height;
    bitmap.biSizeImage = (DWORD)((ULONGLONG)width * (ULONGLONG)(height < 0 ? -height : height) * 4);
    return result;
}

client::Pin* StreamingRig::CreatePin(const std::vector<uint8_t>& format, bool clock,
                                     NTSTATUS* status) {
    client::Pin* pin = nullptr;
    NTSTATUS result = client::CreatePin(
        filter_, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), {clock}, &pin);
    if (status != nullptr)
        *status = result;
    return pin;
}

client::StreamBuffer* StreamingRig::NewBuffer(ULONG header_size, ULONG frame_extent, uint8_t fill) {
    client::StreamBuffer* buffer = client::CreateStreamBuffer(header_size, frame_extent);
    if (buffer != nullptr) {
        std::fill(buffer->data, buffer->data + frame_extent, fill);
        buffers_.push_back(buffer);
    }
    return buffer;
}

std::vector<client::StreamBuffer*> StreamingRig::QueueBuffers(client::Pin* pin, size_t count,
                                                              ULONG header_size) {
    const auto* format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(
        client::PinObject(pin)->ConnectionFormat);
    std::vector<client::StreamBuffer*> queued;
    for (size_t i = 0; i < count; ++i) {
        client::StreamBuffer* buffer =
            NewBuffer(header_size, format->VideoInfoHeader.bmiHeader.biSizeImage);
        EXPECT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
        queued.push_back(buffer);
    }
    return queued;
}

void StreamingRig::RestartCount() {
    camera_->records().Clear();
    steps_ = 0;
}

void StreamingRig::Step() {
    auto goes = [this] {
        size_t count = 0;
        for (const sim::Packet& packet : camera_->records().Commands())
            count += packet[0] == 0x03 ? 1 : 0;
        return count;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
    while (goes() <= steps_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++steps_;
    camera_->FireTrigger();
}

std::vector<uint8_t> StreamingRig::RawFrameOfPicture(uint64_t picture_number) {
    // The camera counts a frame as sent a moment after the host has taken its last byte.
    camera_->records().WaitForSentFrames(picture_number, kHangGuardMs);
    std::vector<uint64_t> sent = camera_->records().SentFrames();
    if (picture_number == 0 || picture_number > sent.size())
        return {};
    return camera_->records().SentFrameBytes(sent[picture_number - 1]);
}

std::vector<ULONG> StreamingRig::Convert(
    const std::vector<uint8_t>& raw, const std::function<void(FrameProcessor*)>& settings,
    const std::function<void(const FrameProcessor&)>& after) const {
    const ULONG width = (ULONG)options_.width;
    const ULONG height = (ULONG)options_.height;
    std::vector<ULONG> image((size_t)width * height);
    FrameProcessor* processor = CreateFrameProcessor();
    if (settings)
        settings(processor);
    SetConversionGeometry(processor, width, height);
    AllocateWorkBuffer(processor);
    processor->conversion.output_buffer = image.data();
    ConvertFrame(processor, raw.data(), 0, width);
    if (after)
        after(*processor);
    processor->conversion.output_buffer = nullptr;
    FreeFrameProcessor(processor);
    return image;
}

Delivered Snapshot(const client::StreamBuffer* buffer) {
    Delivered delivered;
    delivered.header = *buffer->header;
    if (buffer->frame_info != nullptr) {
        delivered.has_frame_info = true;
        delivered.frame_info = *buffer->frame_info;
    }
    return delivered;
}

bool TakeImage(client::Pin* pin, LONGLONG* picture) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
    while (std::chrono::steady_clock::now() < deadline) {
        client::StreamBuffer* buffer = client::WaitForBuffer(pin, kHangGuardMs);
        if (buffer == nullptr)
            return false;
        bool image = buffer->header->DataUsed != 0;
        if (image && picture != nullptr && buffer->frame_info != nullptr)
            *picture = buffer->frame_info->PictureNumber;
        EXPECT_EQ(client::SubmitBuffer(pin, buffer), STATUS_SUCCESS);
        if (image)
            return true;
    }
    return false;
}

}  // namespace camtest
