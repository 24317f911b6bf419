#include "tools/camctl/capture_summary.h"

#include <algorithm>
#include <string>

namespace camctl {

namespace {

// "none", or the missing numbers between first and last as runs: "3,5-7".
std::string Gaps(std::vector<int64_t> pictures, uint64_t* missing) {
    std::sort(pictures.begin(), pictures.end());
    std::string gaps;
    *missing = 0;
    for (size_t i = 1; i < pictures.size(); ++i) {
        const int64_t from = pictures[i - 1] + 1;
        const int64_t to = pictures[i] - 1;
        if (to < from)
            continue;
        *missing += (uint64_t)(to - from + 1);
        gaps += (gaps.empty() ? "" : ",") + std::to_string(from);
        if (to > from)
            gaps += "-" + std::to_string(to);
    }
    return gaps.empty() ? "none" : gaps;
}

}  // namespace

void CaptureSummary::AddFrame(std::optional<int64_t> time, std::optional<int64_t> picture) {
    ++frames_;
    if (time)
        times_.push_back(*time);
    if (picture)
        pictures_.push_back(*picture);
}

void CaptureSummary::SetLink(uint64_t bytes_per_second, uint32_t raw_frame_bytes) {
    link_speed_ = bytes_per_second;
    raw_frame_bytes_ = raw_frame_bytes;
}

void CaptureSummary::Print(FILE* out) const {
    std::fprintf(out, "frames_delivered=%llu\n", (unsigned long long)frames_);
    if (times_.size() >= 2) {
        const double span_s = (double)(times_.back() - times_.front()) * 1e-7;
        std::fprintf(out, "frame_rate_fps=%.2f\n", span_s > 0 ? (times_.size() - 1) / span_s : 0);
    } else {
        std::fprintf(out, "frame_rate_fps=none\n");
    }
    if (link_speed_ != 0 && raw_frame_bytes_ != 0)
        std::fprintf(out, "link_limit_fps=%.2f\n", (double)link_speed_ / raw_frame_bytes_);
    if (!pictures_.empty()) {
        uint64_t missing = 0;
        const std::string gaps = Gaps(pictures_, &missing);
        std::fprintf(out, "first_picture=%lld\n", (long long)pictures_.front());
        std::fprintf(out, "last_picture=%lld\n", (long long)pictures_.back());
        std::fprintf(out, "missing_pictures=%llu\n", (unsigned long long)missing);
        std::fprintf(out, "gaps=%s\n", gaps.c_str());
    } else {
        std::fprintf(out, "first_picture=none\nlast_picture=none\n");
    }
    if (times_.size() >= 2) {
        double sum = 0;
        double least = 1e300;
        double most = 0;
        for (size_t i = 1; i < times_.size(); ++i) {
            const double spacing_ms = (double)(times_[i] - times_[i - 1]) * 1e-4;
            sum += spacing_ms;
            least = std::min(least, spacing_ms);
            most = std::max(most, spacing_ms);
        }
        std::fprintf(out, "spacing_mean_ms=%.3f\nspacing_min_ms=%.3f\nspacing_max_ms=%.3f\n",
                     sum / (double)(times_.size() - 1), least, most);
    }
    std::fprintf(out, "empty_buffers=%llu\n", (unsigned long long)empty_buffers_);
    if (frames_ != 0) {
        std::fprintf(out, "driver_cpu_ms_per_frame=%.2f\n",
                     (double)driver_cpu_ns_ * 1e-6 / (double)frames_);
    }
}

}  // namespace camctl
