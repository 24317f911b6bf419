#include "tools/camctl/capture_summary.h"

#include <algorithm>

namespace camctl {

namespace {

// The gaps line names this many runs at most, then how many more there are.
constexpr size_t kGapRunsShown = 32;

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

Figure Count(const char* name, uint64_t value) {
    return {name, std::to_string(value), (double)value};
}

Figure Decimal(const char* name, double value, int decimals) {
    return {name, Fixed(value, decimals), value};
}

Figure None(const char* name) {
    return {name, "none", std::nullopt};
}

}  // namespace

void CaptureSummary::AddFrame(std::optional<int64_t> time, std::optional<int64_t> picture) {
    ++frames_;
    if (time) {
        if (timed_frames_ == 0) {
            first_time_ = *time;
        } else {
            const int64_t spacing = *time - last_time_;
            spacing_sum_ += spacing;
            spacing_min_ = timed_frames_ == 1 ? spacing : std::min(spacing_min_, spacing);
            spacing_max_ = timed_frames_ == 1 ? spacing : std::max(spacing_max_, spacing);
        }
        last_time_ = *time;
        ++timed_frames_;
    }
    if (picture)
        AddPicture(*picture);
}

void CaptureSummary::AddPicture(int64_t picture) {
    last_picture_ = picture;
    if (!first_picture_) {
        first_picture_ = picture;
        lowest_picture_ = highest_picture_ = picture;
        return;
    }
    if (picture > highest_picture_) {
        if (picture > highest_picture_ + 1)
            missing_[highest_picture_ + 1] = picture - 1;
        highest_picture_ = picture;
    } else if (picture < lowest_picture_) {
        if (picture < lowest_picture_ - 1)
            missing_[picture + 1] = lowest_picture_ - 1;
        lowest_picture_ = picture;
    } else {
        // A late frame fills a number that a later one had skipped.
        auto run = missing_.upper_bound(picture);
        if (run == missing_.begin())
            return;
        --run;
        const int64_t from = run->first;
        const int64_t to = run->second;
        if (picture > to)
            return;
        missing_.erase(run);
        if (from < picture)
            missing_[from] = picture - 1;
        if (picture < to)
            missing_[picture + 1] = to;
    }
}

void CaptureSummary::SetLink(uint64_t bytes_per_second, uint32_t raw_frame_bytes) {
    link_speed_ = bytes_per_second;
    raw_frame_bytes_ = raw_frame_bytes;
}

std::optional<double> CaptureSummary::FrameRate() const {
    if (timed_frames_ < 2)
        return std::nullopt;
    const double span_s = (double)(last_time_ - first_time_) * 1e-7;
    return span_s > 0 ? (double)(timed_frames_ - 1) / span_s : 0;
}

// "none", or the missing numbers as runs: "3,5-7".
std::string CaptureSummary::GapsText() const {
    if (missing_.empty())
        return "none";
    std::string gaps;
    size_t shown = 0;
    for (const auto& [from, to] : missing_) {
        if (shown == kGapRunsShown) {
            gaps += ",... (" + std::to_string(missing_.size() - shown) + " more)";
            break;
        }
        gaps += (gaps.empty() ? "" : ",") + std::to_string(from);
        if (to > from)
            gaps += "-" + std::to_string(to);
        ++shown;
    }
    return gaps;
}

std::vector<Figure> CaptureSummary::Figures() const {
    std::vector<Figure> figures;
    figures.push_back(Count("frames_delivered", frames_));
    const std::optional<double> rate = FrameRate();
    figures.push_back(rate ? Decimal("frame_rate_fps", *rate, 2) : None("frame_rate_fps"));
    if (link_speed_ != 0 && raw_frame_bytes_ != 0)
        figures.push_back(Decimal("link_limit_fps", (double)link_speed_ / raw_frame_bytes_, 2));
    if (first_picture_) {
        uint64_t missing = 0;
        for (const auto& [from, to] : missing_)
            missing += (uint64_t)(to - from + 1);
        figures.push_back(
            {"first_picture", std::to_string(*first_picture_), (double)*first_picture_});
        figures.push_back({"last_picture", std::to_string(last_picture_), (double)last_picture_});
        figures.push_back(Count("missing_pictures", missing));
        figures.push_back({"gaps", GapsText(), std::nullopt});
    } else {
        figures.push_back(None("first_picture"));
        figures.push_back(None("last_picture"));
    }
    if (timed_frames_ >= 2) {
        const double mean = (double)spacing_sum_ / (double)(timed_frames_ - 1);
        figures.push_back(Decimal("spacing_mean_ms", mean * 1e-4, 3));
        figures.push_back(Decimal("spacing_min_ms", (double)spacing_min_ * 1e-4, 3));
        figures.push_back(Decimal("spacing_max_ms", (double)spacing_max_ * 1e-4, 3));
    }
    figures.push_back(Count("empty_buffers", empty_buffers_));
    if (frames_ != 0) {
        figures.push_back(
            Decimal("driver_cpu_ms_per_frame", (double)driver_cpu_ns_ * 1e-6 / (double)frames_, 2));
    }
    return figures;
}

void CaptureSummary::Print(FILE* out) const {
    for (const Figure& figure : Figures())
        std::fprintf(out, "%s=%s\n", figure.name.c_str(), figure.text.c_str());
}

}  // namespace camctl
