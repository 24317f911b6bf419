#include "sim/sensor.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

// Signal of a white scene at exposure 100 and gain x1, in output steps.
constexpr float kFullScale = 200.0f;
constexpr float kReferenceExposure = 100.0f;
// Relative sensitivity of the red, green and blue sites: the raw picture is green-heavy, as an
// uncorrected sensor's is.
constexpr float kSensitivity[3] = {0.78f, 1.0f, 0.62f};
constexpr float kReadNoise = 1.2f;   // steps, before gain
constexpr float kShotNoise = 0.08f;  // variance per step of signal
constexpr uint32_t kNoiseTableSize = 1u << 16;

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A standard normal variate from 64 random bits: the sum of four uniforms, rescaled.
float Normal(uint64_t bits) {
    uint32_t sum = 0;
    for (int i = 0; i < 4; ++i) {
        sum += static_cast<uint32_t>((bits >> (16 * i)) & 0xFFFF);
    }
    return (static_cast<float>(sum) - 2.0f * 65535.0f) * (1.7320508f / 65535.0f);
}

}  // namespace

double GainFactor(uint32_t gain) {
    return std::exp2((static_cast<double>(gain) - 512.0) / 256.0);
}

double EffectiveExposure(const SensorSettings& settings) {
    return (static_cast<double>(settings.exposure_a) + static_cast<double>(settings.exposure_b)) /
           2.0;
}

FrameRenderer::FrameRenderer(const SensorSettings& settings, const Scene& scene,
                             uint64_t frame_number)
    : settings_(settings),
      scene_(scene),
      frame_number_(frame_number),
      frame_key_(Mix(settings.seed ^ Mix(frame_number))),
      gain_(static_cast<float>(GainFactor(settings.gain))),
      row_(settings.width) {
    const float exposure =
        static_cast<float>(EffectiveExposure(settings)) / kReferenceExposure * kFullScale;
    for (int c = 0; c < 3; ++c) {
        scale_[c] = exposure * kSensitivity[c];
    }
    if (settings.noise) {
        noise_.resize(kNoiseTableSize);
        for (uint32_t i = 0; i < kNoiseTableSize; ++i) {
            noise_[i] = Normal(Mix(frame_key_ + i));
        }
        // Beyond the table the signal saturates whatever the noise.
        const uint32_t steps = static_cast<uint32_t>(std::max(scale_[0], scale_[1])) + 2;
        sigma_.resize(steps + 1);
        for (uint32_t s = 0; s <= steps; ++s) {
            sigma_[s] = std::sqrt(kReadNoise * kReadNoise + kShotNoise * static_cast<float>(s));
        }
    }
}

void FrameRenderer::Rows(uint32_t y0, uint32_t y1, uint8_t* out) {
    const uint32_t width = settings_.width;
    const float top = 255.0f / gain_;
    const bool noise = !noise_.empty();
    const size_t last_step = noise ? sigma_.size() - 1 : 0;
    for (uint32_t y = y0; y < y1; ++y) {
        scene_.Row(y, width, settings_.height, frame_number_, row_.data());
        uint8_t* samples = out + size_t{y - y0} * width;
        const uint32_t offset = static_cast<uint32_t>(Mix(frame_key_ ^ y));
        auto sample = [&](uint32_t x, float reflectance, float scale) {
            reflectance = reflectance < 0.0f ? 0.0f : reflectance > 1.0f ? 1.0f : reflectance;
            float signal = reflectance * scale;
            if (noise) {
                const size_t step = std::min(static_cast<size_t>(signal), last_step);
                signal += sigma_[step] * noise_[(offset + x) & (kNoiseTableSize - 1)];
            }
            // Clamped before scaling so that a huge gain cannot overflow the conversion.
            signal = signal < 0.0f ? 0.0f : signal > top ? top : signal;
            const float value = signal * gain_ + 0.5f;
            samples[x] = static_cast<uint8_t>(value > 255.0f ? 255.0f : value);
        };
        // GRBG: even rows alternate green and red, odd rows blue and green.
        if ((y & 1) == 0) {
            for (uint32_t x = 0; x < width; x += 2) {
                sample(x, row_[x].g, scale_[1]);
                if (x + 1 < width) {
                    sample(x + 1, row_[x + 1].r, scale_[0]);
                }
            }
        } else {
            for (uint32_t x = 0; x < width; x += 2) {
                sample(x, row_[x].b, scale_[2]);
                if (x + 1 < width) {
                    sample(x + 1, row_[x + 1].g, scale_[1]);
                }
            }
        }
    }
}

std::vector<uint8_t> RenderRawFrame(const SensorSettings& settings, const Scene& scene,
                                    uint64_t frame_number, uint32_t size) {
    const size_t pixels = size_t{settings.width} * settings.height;
    std::vector<uint8_t> frame(std::max<size_t>(size, pixels), 0);
    FrameRenderer renderer(settings, scene, frame_number);
    renderer.Rows(0, settings.height, frame.data());
    frame.resize(size);
    return frame;
}

}  // namespace sim
