// A capture pin as an application runs it: the pin's range intersected with itself, the pin
// created with the result, a number of buffers kept queued, RUN, completed buffers taken in order
// and given back, and the stop. Thread-safe: a writer thread may give buffers back while the
// capture thread takes them.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ks_client.h"

namespace camtools {

namespace client = platform::ks::client;

struct StreamOptions {
    size_t buffers = 2;   // kept queued on the pin
    size_t max_held = 0;  // buffers the application may hold beyond those
    bool master_clock = true;
};

class CaptureStream {
  public:
    CaptureStream() = default;
    ~CaptureStream();
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // Creates the pin on pin type 0 of the filter and takes it to PAUSE with the buffers queued.
    // Returns what failed, or an empty string.
    std::string Open(client::Filter* filter, const StreamOptions& options);
    NTSTATUS Run();
    // The oldest buffer the pin completed, now the caller's, or null after timeout_ms. The pin
    // gets another buffer at once, while the application holds fewer than max_held.
    client::StreamBuffer* Next(uint32_t timeout_ms);
    // Hands a buffer back from Next.
    void Recycle(client::StreamBuffer* buffer);
    // To STOP: the pin completes what it has queued, and held buffers stay valid.
    NTSTATUS Stop();
    // Closes the pin and frees every buffer, those the application still holds too.
    void Close();

    const KS_VIDEOINFOHEADER& video_info() const;
    uint32_t width() const;
    uint32_t height() const;  // rows, whatever the row order
    bool bottom_up() const;
    size_t frame_bytes() const;

  private:
    void TopUpLocked();

    std::mutex mutex_;
    client::Pin* pin_ = nullptr;
    std::vector<uint8_t> format_;
    StreamOptions options_;
    std::vector<client::StreamBuffer*> all_;
    std::vector<client::StreamBuffer*> spare_;
    size_t queued_ = 0;
};

}  // namespace camtools
