// The rig's capture-application steps, and the frames the camera sent as the driver converts them.
#include <algorithm>
#include <chrono>
#include <thread>

#include "imaging/frame_processor.h"
#include "tests/support/failure_report.h"
#include "tests/support/hang_guard.h"
#include "tests/support/rig.h"

namespace camtest {

std::vector<uint8_t> Rig::DefaultFormat() {
    std::vector<uint8_t> format;
    const KSPIN_DESCRIPTOR_EX* pin = client::PinDescriptor(filter_, 0);
    if (pin == nullptr || client::IntersectFormat(filter_, 0, pin->PinDescriptor.DataRanges[0],
                                                  &format) != STATUS_SUCCESS) {
        ReportFailure("rig: the pin's range does not intersect with itself");
    }
    return format;
}

KS_BITMAPINFOHEADER& Rig::Bitmap(std::vector<uint8_t>& format) {
    return reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
        ->VideoInfoHeader.bmiHeader;
}

std::vector<uint8_t> Rig::WithBitmap(const std::vector<uint8_t>& format, LONG width, LONG height) {
    std::vector<uint8_t> result = format;
    KS_BITMAPINFOHEADER& bitmap = Bitmap(result);
    bitmap.biWidth = width;
    bitmap.biHeight = height;
    bitmap.biSizeImage = (DWORD)((ULONGLONG)width * (ULONGLONG)(height < 0 ? -height : height) * 4);
    return result;
}

client::Pin* Rig::CreatePin(const std::vector<uint8_t>& format, bool clock, NTSTATUS* status) {
    client::Pin* pin = nullptr;
    NTSTATUS result =
        format.size() < sizeof(KSDATAFORMAT)
            ? STATUS_INVALID_BUFFER_SIZE
            : client::CreatePin(filter_, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                                {clock}, &pin);
    if (status != nullptr)
        *status = result;
    return pin;
}

client::StreamBuffer* Rig::NewBuffer(ULONG header_size, ULONG frame_extent, uint8_t fill) {
    client::StreamBuffer* buffer = client::CreateStreamBuffer(header_size, frame_extent);
    if (buffer != nullptr) {
        std::fill(buffer->data, buffer->data + frame_extent, fill);
        buffers_.push_back(buffer);
    }
    return buffer;
}

std::vector<client::StreamBuffer*> Rig::QueueBuffers(client::Pin* pin, size_t count,
                                                     ULONG header_size) {
    const auto* format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(
        client::PinObject(pin)->ConnectionFormat);
    std::vector<client::StreamBuffer*> queued;
    for (size_t i = 0; i < count; ++i) {
        client::StreamBuffer* buffer =
            NewBuffer(header_size, format->VideoInfoHeader.bmiHeader.biSizeImage);
        if (buffer == nullptr || client::SubmitBuffer(pin, buffer) != STATUS_SUCCESS) {
            ReportFailure("rig: a buffer could not be queued");
            continue;
        }
        queued.push_back(buffer);
    }
    return queued;
}

client::Pin* Rig::PausedPin(const std::vector<uint8_t>& format, size_t buffers) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    client::Pin* pin = CreatePin(format, true, &status);
    if (pin == nullptr) {
        Failed("creating a pin", status);
        return nullptr;
    }
    if (!NT_SUCCESS(status = client::SetPinState(pin, KSSTATE_PAUSE))) {
        Failed("pausing a pin", status);
        return nullptr;
    }
    return QueueBuffers(pin, buffers).size() == buffers ? pin : nullptr;
}

NTSTATUS Rig::Run(client::Pin* pin) {
    RestartCount();
    return client::SetPinState(pin, KSSTATE_RUN);
}

void Rig::RestartCount() {
    sim_->records().Clear();
    steps_ = 0;
}

void Rig::Step() {
    auto goes = [this] {
        size_t count = 0;
        for (const sim::Packet& packet : sim_->records().Commands())
            count += packet[0] == sim::command::kGo ? 1 : 0;
        return count;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
    while (goes() <= steps_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++steps_;
    sim_->FireTrigger();
}

std::vector<uint8_t> Rig::RawFrameOfPicture(uint64_t picture_number) {
    // The camera counts a frame as sent a moment after the host has taken its last byte.
    sim_->records().WaitForSentFrames(picture_number, kHangGuardMs);
    std::vector<uint64_t> sent = sim_->records().SentFrames();
    if (picture_number == 0 || picture_number > sent.size())
        return {};
    return sim_->records().SentFrameBytes(sent[picture_number - 1]);
}

std::vector<ULONG> Rig::Convert(const std::vector<uint8_t>& raw,
                                const std::function<void(FrameProcessor*)>& settings,
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
    if (buffer->frame_info != nullptr)
        delivered.frame_info = *buffer->frame_info;
    return delivered;
}

bool TakeImage(client::Pin* pin, Delivered* image) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
    while (std::chrono::steady_clock::now() < deadline) {
        client::StreamBuffer* buffer = client::WaitForBuffer(pin, kHangGuardMs);
        if (buffer == nullptr)
            return false;
        const bool filled = buffer->header->DataUsed != 0;
        if (filled && image != nullptr)
            *image = Snapshot(buffer);
        if (client::SubmitBuffer(pin, buffer) != STATUS_SUCCESS) {
            ReportFailure("rig: a taken buffer could not be queued again");
            return false;
        }
        if (filled)
            return true;
    }
    return false;
}

}  // namespace camtest
