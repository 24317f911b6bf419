// A capture application's pin as the targets drive it: its stream buffers live and die with it.
#pragma once

#include <vector>

#include "fuzz/support/fuzz_input.h"
#include "tests/support/rig.h"

namespace camfuzz {

namespace client = platform::ks::client;

class ClientPin {
  public:
    ClientPin() = default;
    ~ClientPin() { Close(); }
    ClientPin(const ClientPin&) = delete;
    ClientPin& operator=(const ClientPin&) = delete;

    client::Pin* get() const { return pin_; }
    // A pin of `format` on the rig's filter unless one is open already.
    void Open(camtest::Rig& rig, const std::vector<uint8_t>& format, bool clock = true) {
        if (pin_ == nullptr)
            pin_ = rig.CreatePin(format, clock);
    }
    // A pin of the rig's default format with two buffers queued, as a capture application
    // starts a stream.
    void OpenStreaming(camtest::Rig& rig) {
        if (pin_ != nullptr)
            return;
        Open(rig, rig.DefaultFormat());
        if (pin_ == nullptr)
            return;
        for (int i = 0; i < 2; ++i)
            Queue(128, ImageBytes());
    }
    // Any state, legal step or not.
    void ChangeState(FuzzInput& in) {
        if (pin_ != nullptr)
            client::SetPinState(pin_, (KSSTATE)in.Choice(4));
    }
    void Close() {
        if (pin_ != nullptr)
            client::ClosePin(pin_);
        pin_ = nullptr;
        for (client::StreamBuffer* buffer : buffers_)
            client::FreeStreamBuffer(buffer);
        buffers_.clear();
    }
    // The image size of the pin's connection format.
    ULONG ImageBytes() const {
        return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(
                   client::PinObject(pin_)->ConnectionFormat)
            ->VideoInfoHeader.bmiHeader.biSizeImage;
    }
    // A new buffer, queued at once.
    void Queue(ULONG header_size, ULONG frame_extent) {
        if (pin_ == nullptr)
            return;
        client::StreamBuffer* buffer = client::CreateStreamBuffer(header_size, frame_extent);
        if (buffer != nullptr) {
            buffers_.push_back(buffer);
            client::SubmitBuffer(pin_, buffer);
        }
    }
    // Takes back what the pin completed within `wait_ms` and queues every buffer again.
    void Resubmit(uint32_t wait_ms) {
        if (pin_ == nullptr)
            return;
        while (client::WaitForBuffer(pin_, wait_ms) != nullptr) {
        }
        for (client::StreamBuffer* buffer : buffers_)
            client::SubmitBuffer(pin_, buffer);
    }

  private:
    client::Pin* pin_ = nullptr;
    std::vector<client::StreamBuffer*> buffers_;
};

}  // namespace camfuzz
