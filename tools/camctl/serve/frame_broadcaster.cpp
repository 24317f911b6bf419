#include "tools/camctl/serve/frame_broadcaster.h"

#include <chrono>

#include "tools/common/jpeg_encoder.h"

namespace camctl::serve {

FrameBroadcaster::FrameBroadcaster(int quality)
    : quality_(quality), encoder_([this] { Encode(); }) {}

FrameBroadcaster::~FrameBroadcaster() {
    Close();
}

void FrameBroadcaster::Publish(FramePtr frame) {
    FramePtr older;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (closed_)
            return;
        older = std::move(latest_);
        latest_ = std::move(frame);
    }
    changed_.notify_all();
    // The older frame's buffer goes back here, outside the lock, unless the encoder or a snapshot
    // still holds it.
}

FramePtr FrameBroadcaster::Latest() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return latest_;
}

bool FrameBroadcaster::Join(size_t most) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_ || figures_.viewers >= most)
        return false;
    ++figures_.viewers;
    return true;
}

void FrameBroadcaster::Leave() {
    std::lock_guard<std::mutex> guard(mutex_);
    --figures_.viewers;
}

PicturePtr FrameBroadcaster::Next(bool half, uint64_t after, uint32_t wait_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    Channel& channel = channels_[half ? 0 : 1];
    const auto ready = [&] {
        return closed_ || (channel.picture != nullptr && channel.picture->sequence > after);
    };
    if (!ready()) {
        ++channel.waiting;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::milliseconds(wait_ms), ready);
        --channel.waiting;
    }
    if (closed_ || channel.picture == nullptr || channel.picture->sequence <= after)
        return nullptr;
    return channel.picture;
}

// There is work when a viewer waits at a size whose last picture is older than the latest frame.
bool FrameBroadcaster::WorkLocked() const {
    if (latest_ == nullptr)
        return false;
    for (const Channel& channel : channels_) {
        const uint64_t shown = channel.picture != nullptr ? channel.picture->frame_number : 0;
        if (channel.waiting > 0 && shown < latest_->number)
            return true;
    }
    return false;
}

void FrameBroadcaster::Encode() {
    camtools::JpegEncoder encoder;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return closed_ || WorkLocked(); });
        if (closed_)
            return;
        FramePtr frame = latest_;
        bool wanted[2];
        for (int i = 0; i < 2; ++i) {
            const Channel& channel = channels_[i];
            wanted[i] = channel.waiting > 0 && (channel.picture == nullptr ||
                                                channel.picture->frame_number < frame->number);
        }
        lock.unlock();
        std::shared_ptr<Picture> made[2];
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 2; ++i) {
            if (!wanted[i])
                continue;
            auto picture = std::make_shared<Picture>();
            picture->frame_number = frame->number;
            // A picture that fails to encode is skipped; the next frame gets another try.
            if (encoder.Encode(frame->image, quality_, i == 0, &picture->jpeg).empty())
                made[i] = std::move(picture);
        }
        const auto spent = std::chrono::steady_clock::now() - start;
        // Its buffer may go back now, which is not done under this lock.
        frame.reset();
        lock.lock();
        for (int i = 0; i < 2; ++i) {
            if (made[i] == nullptr)
                continue;
            made[i]->sequence =
                channels_[i].picture != nullptr ? channels_[i].picture->sequence + 1 : 1;
            channels_[i].picture = std::move(made[i]);
            ++figures_.pictures;
        }
        figures_.encode_ns += (uint64_t)std::chrono::nanoseconds(spent).count();
        changed_.notify_all();
    }
}

void FrameBroadcaster::SetCameraProblem(const std::string& problem) {
    std::lock_guard<std::mutex> guard(mutex_);
    camera_problem_ = problem;
}

std::string FrameBroadcaster::CameraProblem() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return camera_problem_;
}

EncoderFigures FrameBroadcaster::Figures() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return figures_;
}

void FrameBroadcaster::Close() {
    FramePtr latest;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
        latest = std::move(latest_);
    }
    changed_.notify_all();
    if (encoder_.joinable())
        encoder_.join();
}

bool FrameBroadcaster::closed() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return closed_;
}

}  // namespace camctl::serve
