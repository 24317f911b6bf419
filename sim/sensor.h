// The sensor: turns a scene into 8-bit GRBG mosaic samples (row 0: G R G R..., row 1: B G B G...)
// through exposure, global gain, per-channel sensitivity and noise. The noise is a pure function of
// the seed, the frame number and the pixel, so any frame can be rendered again byte for byte.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/scene.h"

namespace sim {

struct SensorSettings {
    uint32_t width = 1600;
    uint32_t height = 1200;
    // Two exposure register pairs: 158 + 64 * 159 and 161 + 64 * 162. The sensor integrates for
    // their mean, so a host that writes only one pair still sees a change.
    uint32_t exposure_a = 0;
    uint32_t exposure_b = 0;
    uint32_t gain = 0;  // 6 + 64 * 7
    uint64_t seed = 1;
    bool noise = true;
};

// Gain factor of a global gain value: x1 at 512, doubling every 256 steps.
double GainFactor(uint32_t gain);
// Mean exposure of the two register pairs.
double EffectiveExposure(const SensorSettings& settings);

// Renders one frame, a band of rows at a time, so read-out can start before the frame is done.
class FrameRenderer {
  public:
    FrameRenderer(const SensorSettings& settings, const Scene& scene, uint64_t frame_number);
    // Rows [y0, y1) into out, `settings.width` bytes per row.
    void Rows(uint32_t y0, uint32_t y1, uint8_t* out);

  private:
    SensorSettings settings_;
    const Scene& scene_;
    uint64_t frame_number_;
    uint64_t frame_key_;
    float scale_[3];  // output steps per unit of reflectance, per channel, before gain
    float gain_;
    std::vector<float> noise_;  // standard normal variates, indexed from a per-row offset
    std::vector<float> sigma_;  // noise deviation by whole steps of signal
    std::vector<Rgb> row_;
};

// The raw frame as sent: width x height samples, zero-padded or cut to `size` bytes.
std::vector<uint8_t> RenderRawFrame(const SensorSettings& settings, const Scene& scene,
                                    uint64_t frame_number, uint32_t size);

}  // namespace sim
