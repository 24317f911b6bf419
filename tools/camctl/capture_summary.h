// What a capture saw, gathered frame by frame: the figures that capture prints at the end as
// NAME=VALUE lines and that serve reports while it runs. Each frame costs the same however long the
// capture runs, so a preview left open for days keeps a summary of constant size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace camctl {

// One figure: its name, its text as printed, and its value when it is a number.
struct Figure {
    std::string name;
    std::string text;
    std::optional<double> number;
};

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
    // Frames per second from the time stamps; none before two of them.
    std::optional<double> FrameRate() const;
    std::vector<Figure> Figures() const;
    void Print(FILE* out) const;

  private:
    void AddPicture(int64_t picture);
    std::string GapsText() const;

    uint64_t frames_ = 0;
    uint64_t empty_buffers_ = 0;
    uint64_t timed_frames_ = 0;
    int64_t first_time_ = 0;
    int64_t last_time_ = 0;
    int64_t spacing_sum_ = 0;
    int64_t spacing_min_ = 0;
    int64_t spacing_max_ = 0;
    std::optional<int64_t> first_picture_;
    int64_t last_picture_ = 0;
    int64_t lowest_picture_ = 0;
    int64_t highest_picture_ = 0;
    // The numbers not delivered between the lowest and the highest, as disjoint runs first..last.
    std::map<int64_t, int64_t> missing_;
    uint64_t driver_cpu_ns_ = 0;
    uint64_t link_speed_ = 0;
    uint32_t raw_frame_bytes_ = 0;
};

}  // namespace camctl
