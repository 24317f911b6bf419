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
    // Each is empty when the path does not run on this processor.
    std::optional<std::vector<ULONG>> Colour(LONG phase, Path path) {
        Clear();
        if (path == Path::kScalar) {
            ConvertBayerToBgrxScalar(&state_.params, state_.matrix_positive, phase);
        } else if (!WithPath(path, [&] {
                       ConvertBayerToBgrx(&state_.params, state_.matrix_positive, phase);
                   })) {
            return std::nullopt;
        }
        return Image();
    }
    std::optional<std::vector<ULONG>> Grey(LONG phase, Path path) {
        Clear();
        if (path == Path::kScalar) {
            ConvertBayerToGreyScalar(&state_.params, phase);
        } else if (!WithPath(path, [&] { ConvertBayerToGrey(&state_.params, phase); })) {
            return std::nullopt;
        }
        return Image();
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
