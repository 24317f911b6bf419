// What a capture saw, gathered frame by frame and printed at the end as NAME=VALUE lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace camctl {

class CaptureSummary {
  public:
    // A delivered frame: its presentation time (100 ns units) and picture number, when the pin
    // has a clock to stamp them.
    void AddFrame(std::optional<int64_t> time, std::optional<int64_t> picture);
    void AddEmptyBuffer() { ++empty_buffers_; }
    // The driver's CPU time over the capture.
    void SetDriverCpu(uint64_t nanoseconds) { driver_cpu_ns_ = nanoseconds; }
    // Link speed in bytes per second (0: unlimited) and the camera's raw frame size, for the
    // rate the link allows.
    void SetLink(uint64_t bytes_per_second, uint32_t raw_frame_bytes);

    uint64_t frames() const { return frames_; }
    void Print(FILE* out) const;

  private:
    uint64_t frames_ = 0;
    uint64_t empty_buffers_ = 0;
    std::vector<int64_t> times_;
    std::vector<int64_t> pictures_;
    uint64_t driver_cpu_ns_ = 0;
    uint64_t link_speed_ = 0;
    uint32_t raw_frame_bytes_ = 0;
};

}  // namespace camctl
