#include "tools/common/capture_stream.h"

#include <cstdlib>

#include "tools/common/status_text.h"

namespace camtools {

namespace {

// With a KS_FRAME_INFO after the header, so frames carry their picture numbers.
constexpr ULONG kHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

}  // namespace

CaptureStream::~CaptureStream() {
    Close();
}

std::string CaptureStream::Open(client::Filter* filter, const StreamOptions& options) {
    options_ = options;
    const KSPIN_DESCRIPTOR_EX* pin = client::PinDescriptor(filter, 0);
    if (pin == nullptr || pin->PinDescriptor.DataRangesCount == 0)
        return "the filter has no capture pin";
    NTSTATUS status =
        client::IntersectFormat(filter, 0, pin->PinDescriptor.DataRanges[0], &format_);
    if (!NT_SUCCESS(status))
        return "the format intersection failed: " + StatusText(status);
    client::PinOptions pin_options;
    pin_options.master_clock = options.master_clock;
    status = client::CreatePin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format_.data()),
                               pin_options, &pin_);
    if (!NT_SUCCESS(status))
        return "the capture pin could not be created: " + StatusText(status);
    status = client::SetPinState(pin_, KSSTATE_PAUSE);
    if (!NT_SUCCESS(status))
        return "the capture pin did not pause: " + StatusText(status);
    std::lock_guard<std::mutex> guard(mutex_);
    TopUpLocked();
    if (queued_ < options_.buffers)
        return "out of memory for the stream buffers";
    return "";
}

NTSTATUS CaptureStream::Run() {
    return client::SetPinState(pin_, KSSTATE_RUN);
}

client::StreamBuffer* CaptureStream::Next(uint32_t timeout_ms) {
    client::StreamBuffer* buffer = client::WaitForBuffer(pin_, timeout_ms);
    if (buffer != nullptr) {
        std::lock_guard<std::mutex> guard(mutex_);
        --queued_;
        TopUpLocked();
    }
    return buffer;
}

void CaptureStream::Recycle(client::StreamBuffer* buffer) {
    std::lock_guard<std::mutex> guard(mutex_);
    spare_.push_back(buffer);
    TopUpLocked();
}

void CaptureStream::TopUpLocked() {
    while (queued_ < options_.buffers) {
        client::StreamBuffer* buffer = nullptr;
        if (!spare_.empty()) {
            buffer = spare_.back();
            spare_.pop_back();
        } else if (all_.size() < options_.buffers + options_.max_held) {
            buffer = client::CreateStreamBuffer(kHeaderSize, (ULONG)frame_bytes());
            if (buffer == nullptr)
                return;
            all_.push_back(buffer);
        } else {
            return;
        }
        if (!NT_SUCCESS(client::SubmitBuffer(pin_, buffer))) {
            spare_.push_back(buffer);
            return;
        }
        ++queued_;
    }
}

NTSTATUS CaptureStream::Stop() {
    return pin_ != nullptr ? client::SetPinState(pin_, KSSTATE_STOP) : STATUS_SUCCESS;
}

void CaptureStream::Close() {
    if (pin_ != nullptr) {
        client::ClosePin(pin_);
        pin_ = nullptr;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    for (client::StreamBuffer* buffer : all_)
        client::FreeStreamBuffer(buffer);
    all_.clear();
    spare_.clear();
    queued_ = 0;
}

const KS_VIDEOINFOHEADER& CaptureStream::video_info() const {
    return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format_.data())->VideoInfoHeader;
}

uint32_t CaptureStream::width() const {
    return (uint32_t)video_info().bmiHeader.biWidth;
}

uint32_t CaptureStream::height() const {
    return (uint32_t)std::abs(video_info().bmiHeader.biHeight);
}

bool CaptureStream::bottom_up() const {
    return video_info().bmiHeader.biHeight > 0;
}

size_t CaptureStream::frame_bytes() const {
    return video_info().bmiHeader.biSizeImage;
}

}  // namespace camtools
