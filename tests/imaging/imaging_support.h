// Shared pieces of the imaging tests: a frame with its work buffer and output, raw frame makers,
// and camera contexts with a processor attached.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "driver/camera_context_ops.h"
#include "imaging/color_settings.h"
#include "imaging/conversion.h"
#include "platform/verifier.h"
#include "tests/support/rig.h"

namespace imaging_test {

// Which conversion path a call takes: the plain one, or the vector one at a register width.
enum class Path { kScalar, k128, k256, k512 };
inline constexpr Path kPaths[] = {Path::kScalar, Path::k128, Path::k256, Path::k512};
inline constexpr Path kVectorPaths[] = {Path::k128, Path::k256, Path::k512};

inline ULONG Bits(Path path) {
    return path == Path::k512 ? 512 : path == Path::k256 ? 256 : 128;
}

inline void SkipPath(ULONG bits) {
    GTEST_SKIP() << "this processor has no " << bits << "-bit path; its cases did not run";
}

// Runs a vector call at one register width, watched for unsaved use of the 512-bit registers.
// Where the processor lacks the width the case would silently rerun a narrower path, so it is
// skipped instead: false.
template <typename Call>
bool WithPath(Path path, Call call) {
    const ULONG bits = Bits(path);
    if (SetVectorWidthLimit(bits) != bits) {
        SetVectorWidthLimit(512);
        SkipPath(bits);
        return false;
    }
    {
        platform::verifier::ExtendedStateWatch watch;
        call();
    }
    SetVectorWidthLimit(512);
    return true;
}

inline constexpr LONG kIdentity[16] = {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64};

// Where a conversion puts its image: params->output, or a destination of its own whose rows lie
// apart with guard pixels between them, bottom-up, mirrored, narrower than the frame, stored past
// the caches where the rows are aligned for it and where they are not.
struct Layout {
    const char* name;
    bool own = false;  // a destination of its own rather than params->output
    bool bottom_up = false;
    bool mirrored = false;
    LONG narrower = 0;  // pixels fewer per row than the frame, down to one
    bool streaming = false;
    bool aligned = false;  // rows, or their right ends when mirrored, on 64-byte boundaries
};
inline constexpr Layout kLayouts[] = {
    {"params->output"},
    {"bottom-up", true, true},
    {"mirrored", true, false, true},
    {"mirrored bottom-up, narrower, streamed", true, true, true, 5, true, true},
    {"narrower, streamed", true, false, false, 3, true, true},
    {"streamed, unaligned", true, false, true, 0, true, false},
};

// A ConversionState with its work buffer allocated and an output of its own.
class Frame {
  public:
    Frame(ULONG width, ULONG height)
        : width_(width), height_(height), output_(width * height + kGuard, kGuardPixel) {
        SetConversionGeometry(&state_, width, height);
        AllocateWorkBuffer(&state_);
        state_.params.output = output_.data();
        SetGains(128, 128, 128);
        SetMatrix(kIdentity);
    }
    ~Frame() { FreeWorkBuffer(&state_); }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // Fills the whole work buffer with noise first, so that nothing may depend on bytes the load
    // does not write.
    void Load(const std::vector<UCHAR>& raw, uint32_t garbage_seed = 1) {
        std::mt19937 random(garbage_seed);
        for (ULONG i = 0; i < state_.work_size; ++i)
            state_.work_buffer[i] = (UCHAR)random();
        LoadWorkBuffer(&state_, raw.data(), 0, width_);
    }
    // The load alone, as the driver does it: the buffer keeps what it held since its allocation.
    void LoadOnly(const std::vector<UCHAR>& raw) { LoadWorkBuffer(&state_, raw.data(), 0, width_); }
    void SetGains(LONG red, LONG green, LONG blue) {
        state_.params.frame_red_gain = red;
        state_.params.frame_green_gain = green;
        state_.params.frame_blue_gain = blue;
    }
    void SetMatrix(const LONG* matrix) {
        for (int k = 0; k < 16; ++k) {
            state_.params.matrix[k] = matrix[k];
            state_.matrix_positive[k] = matrix[k] > 0;
        }
    }
    // Each is empty when the path does not run on this processor. The image comes back top row
    // first, left to right, Stored(layout) pixels a row, wherever the layout put it.
    std::optional<std::vector<ULONG>> Colour(LONG phase, Path path,
                                             const Layout& layout = kLayouts[0]) {
        return Convert(path, layout, [&](const ImageDestination* destination) {
            if (path == Path::kScalar) {
                ConvertBayerToBgrxScalar(&state_.params, state_.matrix_positive, phase,
                                         destination);
            } else {
                ConvertBayerToBgrx(&state_.params, state_.matrix_positive, phase, destination);
            }
        });
    }
    std::optional<std::vector<ULONG>> Grey(LONG phase, Path path,
                                           const Layout& layout = kLayouts[0]) {
        return Convert(path, layout, [&](const ImageDestination* destination) {
            if (path == Path::kScalar) {
                ConvertBayerToGreyScalar(&state_.params, phase, destination);
            } else {
                ConvertBayerToGrey(&state_.params, phase, destination);
            }
        });
    }
    ULONG Stored(const Layout& layout) const {
        return layout.narrower < (LONG)width_ ? width_ - layout.narrower : 1;
    }
    // The first Stored(layout) pixels of each row of a whole image.
    std::vector<ULONG> Cropped(const std::vector<ULONG>& image, const Layout& layout) const {
        const ULONG stored = Stored(layout);
        std::vector<ULONG> cropped;
        for (ULONG y = 0; y < height_; ++y)
            cropped.insert(cropped.end(), image.begin() + y * width_,
                           image.begin() + y * width_ + stored);
        return cropped;
    }
    std::optional<ChannelTotals> Totals(LONG phase, Path path) {
        ChannelTotals totals{};
        if (path == Path::kScalar) {
            SumChannelsScalar(&state_.params, phase, &totals);
        } else if (!WithPath(path, [&] { SumChannels(&state_.params, phase, &totals); })) {
            return std::nullopt;
        }
        return totals;
    }
    ConversionState& state() { return state_; }
    // Nothing was written past the image.
    bool GuardIntact() const {
        for (size_t i = width_ * height_; i < output_.size(); ++i) {
            if (output_[i] != kGuardPixel)
                return false;
        }
        return true;
    }

  private:
    static constexpr size_t kGuard = 16;
    static constexpr ULONG kGuardPixel = 0x5A5A5A5Au;

    template <typename Run>
    std::optional<std::vector<ULONG>> Convert(Path path, const Layout& layout, Run run) {
        if (!layout.own) {
            Clear();
            const ImageDestination output = OutputOf(&state_.params);
            if (path == Path::kScalar) {
                run(&output);
            } else if (!WithPath(path, [&] { run(&output); })) {
                return std::nullopt;
            }
            return Image();
        }
        // Rows a whole number of 64-byte lines apart, with at least 16 guard pixels between them;
        // an unaligned layout starts one pixel past a line.
        const ULONG stored = Stored(layout);
        const ULONG pitch = (stored + 15) / 16 * 16 + 16;
        std::vector<ULONG> memory(pitch * height_ + 32, kGuardPixel);
        ULONG* base = memory.data() + (16 - ((uintptr_t)memory.data() / 4) % 16) % 16;
        ULONG* top = base + (layout.mirrored ? (stored + 15) / 16 * 16 - stored : 0) +
                     (layout.aligned ? 0 : 1);
        const ImageDestination destination = {
            layout.bottom_up ? top + (size_t)(height_ - 1) * pitch : top,
            (LONG_PTR)pitch * 4 * (layout.bottom_up ? -1 : 1),
            (LONG)stored,
            (LONG)height_,
            layout.mirrored,
            layout.streaming};
        if (path == Path::kScalar) {
            run(&destination);
        } else if (!WithPath(path, [&] { run(&destination); })) {
            return std::nullopt;
        }
        std::vector<ULONG> image((size_t)stored * height_);
        for (ULONG y = 0; y < height_; ++y) {
            ULONG* row = top + (size_t)y * pitch;
            const ULONG image_row = layout.bottom_up ? height_ - 1 - y : y;
            ULONG* out = image.data() + (size_t)image_row * stored;
            for (ULONG x = 0; x < stored; ++x) {
                out[layout.mirrored ? stored - 1 - x : x] = row[x];
                row[x] = kGuardPixel;
            }
        }
        // Every pixel outside the rows is as it was.
        EXPECT_EQ(std::count(memory.begin(), memory.end(), kGuardPixel), (long)memory.size())
            << layout.name;
        return image;
    }

    std::vector<ULONG> Image() const {
        return std::vector<ULONG>(output_.begin(), output_.begin() + width_ * height_);
    }
    void Clear() { std::fill(output_.begin(), output_.begin() + width_ * height_, 0xDEADBEEFu); }

    ULONG width_;
    ULONG height_;
    std::vector<ULONG> output_;
    ConversionState state_{};
};

inline std::vector<UCHAR> FlatRaw(ULONG width, ULONG height, UCHAR value) {
    return std::vector<UCHAR>(width * height, value);
}

inline std::vector<UCHAR> RandomRaw(ULONG width, ULONG height, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<UCHAR> raw(width * height);
    for (UCHAR& sample : raw)
        sample = (UCHAR)random();
    return raw;
}

inline ULONG Pixel(ULONG red, ULONG green, ULONG blue) {
    return 0xFF000000u | red << 16 | green << 8 | blue;
}

inline bool AllEqual(const std::vector<ULONG>& image, ULONG pixel) {
    return std::all_of(image.begin(), image.end(), [pixel](ULONG p) { return p == pixel; });
}

// A rig with nothing plugged in, whose further devices give the tests camera contexts.
inline const camtest::RigOptions kContextsOnly = {.level = camtest::RigLevel::kUsb,
                                                  .plugged = false};

// A camera context as the driver's Add leaves it, on a device of its own on the rig; with a
// processor attached when asked.
class Camera {
  public:
    Camera(camtest::Rig& rig, bool with_processor)
        : rig_(rig), device_(rig.AddDevice()), camera_(CameraOfDevice(device_)) {
        if (with_processor)
            Attach();
    }
    ~Camera() {
        Detach();
        rig_.RemoveDevice(device_);
    }
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    void Attach() {
        camera_->processor = CreateFrameProcessor();
        PushColorSettings(camera_, camera_->processor);
    }
    void Detach() {
        FreeFrameProcessor(camera_->processor);
        camera_->processor = nullptr;
    }
    CameraContext* get() { return camera_; }
    FrameProcessor* processor() { return camera_->processor; }
    std::vector<LONG> Fixed() {
        LONG matrix[16];
        SnapshotFixedMatrix(camera_->processor, matrix);
        return std::vector<LONG>(matrix, matrix + 16);
    }

  private:
    camtest::Rig& rig_;
    PKSDEVICE device_;
    CameraContext* camera_;
};

}  // namespace imaging_test
