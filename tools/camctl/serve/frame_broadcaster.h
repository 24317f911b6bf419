// The frames serve shows: the latest delivered frame, held until a newer one replaces it (for the
// snapshot), and the JPEG stream that viewers share. One encoder thread encodes the latest frame
// only while some viewer waits for a newer picture than it has, so encoding runs at the pace of the
// fastest viewer and never faster than frames arrive; a slow or vanished viewer gets fewer
// pictures and holds nobody up. Publishing a frame never waits for the encoder or a viewer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/image_files.h"

namespace camctl::serve {

// A delivered frame; whoever holds the last reference gives its buffer back.
struct Frame {
    camtools::ImageView image;
    uint64_t number = 0;  // 1 for the first delivered
    std::optional<int64_t> picture;
};
using FramePtr = std::shared_ptr<const Frame>;

struct Picture {
    std::vector<uint8_t> jpeg;
    uint64_t sequence = 0;  // rises with each picture of one size
    uint64_t frame_number = 0;
};
using PicturePtr = std::shared_ptr<const Picture>;

struct EncoderFigures {
    uint64_t pictures = 0;   // JPEG pictures encoded
    uint64_t encode_ns = 0;  // the encoder's time for them, halving included
    size_t viewers = 0;      // streams open now
};

class FrameBroadcaster {
  public:
    explicit FrameBroadcaster(int quality);
    // Closes.
    ~FrameBroadcaster();
    FrameBroadcaster(const FrameBroadcaster&) = delete;
    FrameBroadcaster& operator=(const FrameBroadcaster&) = delete;

    void Publish(FramePtr frame);
    FramePtr Latest() const;

    // A viewer's stream: Join before its first picture, Leave after its last. Join fails (false)
    // when `most` viewers watch already.
    bool Join(size_t most);
    void Leave();
    // The next picture of one size (half or full) newer than sequence `after`; null once closed,
    // or when none came within wait_ms.
    PicturePtr Next(bool half, uint64_t after, uint32_t wait_ms);

    // What the camera is doing, for the page: empty while frames arrive, else why none do.
    void SetCameraProblem(const std::string& problem);
    std::string CameraProblem() const;
    EncoderFigures Figures() const;

    // Ends every stream's wait, stops the encoder and lets the latest frame go.
    void Close();
    bool closed() const;

  private:
    // Half size at index 0, full size at index 1.
    struct Channel {
        size_t waiting = 0;
        PicturePtr picture;
    };

    void Encode();
    bool WorkLocked() const;

    const int quality_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    FramePtr latest_;
    Channel channels_[2];
    std::string camera_problem_;
    EncoderFigures figures_;
    bool closed_ = false;
    std::thread encoder_;
};

}  // namespace camctl::serve
