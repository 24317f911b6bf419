// The sensor: turns a scene into 8-bit GRBG mosaic samples (row 0: G R G R..., row 1: B G B G...)
// through exposure, global gain, per-channel sensitivity and noise. The noise is a pure function of
// the seed, the frame number and the pixel, so any frame can be rendered again byte for byte.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/scene.h"

namespace sim {

// The whole sensor, as read out unless the host sets a smaller window.
inline constexpr uint32_t kSensorWidth = 1600;
inline constexpr uint32_t kSensorHeight = 1200;

struct SensorSettings {
    uint32_t width = kSensorWidth;
    uint32_t height = kSensorHeight;
    // The two exposure register pairs. The sensor integrates for their mean, so a host that writes
    // only one pair still sees a change.
    uint32_t exposure_a = 0;
    uint32_t exposure_b = 0;
    uint32_t gain = 0;  // the gain register pair
    uint64_t seed = 1;
    bool noise = true;
};

// Gain factor of a global gain value: x1 at 512, doubling every 256 steps.
double GainFactor(uint32_t gain);
// Mean exposure of the two register pairs.
double EffectiveExposure(const SensorSettings& settings);

// Renders frames a band of rows at a time, so read-out can start before a frame is done. What
// frames share is kept from one frame to the next: the noiseless signal of every sample depends
// only on the scene, the window and the exposure, so it is worked out again in full only when one
// of those changes, and otherwise only where the scene moves.
class Sensor {
  public:
    // Readies frame `frame_number` of `scene` under `settings` for Rows.
    void StartFrame(const SensorSettings& settings, const std::shared_ptr<const Scene>& scene,
                    uint64_t frame_number);
    // Rows [y0, y1) of the started frame into out, `settings.width` bytes per row.
    void Rows(uint32_t y0, uint32_t y1, uint8_t* out) const;

  private:
    void Rebuild();
    // Brings columns [x0, x1) of rows [y0, y1) to frame_number_.
    void Update(const Area& area);

    // What the signal and deviation planes were worked out for.
    std::shared_ptr<const Scene> scene_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    double exposure_ = -1;
    uint64_t frame_number_ = 0;
    float scale_[3] = {};    // output steps per unit of reflectance, per channel, before gain
    int32_t last_step_ = 0;  // beyond this many steps the noise deviation grows no more
    std::vector<float> signal_plane_;
    std::vector<Rgb> row_;

    // Of the started frame.
    uint64_t frame_key_ = 0;
    float gain_ = 1;
    bool noise_on_ = false;
    // Standard normal variates, indexed from a per-row offset; the table's start is repeated past
    // its end so that a row never wraps.
    std::vector<float> noise_;
};

// The register width the sensor renders rows with: 128 or 256 bits, the widest the processor has
// unless capped here. Returns the width now used. For tests and benchmarks; every width renders the
// same bytes.
uint32_t SetSensorVectorWidth(uint32_t bits);

// The raw frame as sent: width x height samples, zero-padded or cut to `size` bytes.
std::vector<uint8_t> RenderRawFrame(const SensorSettings& settings,
                                    const std::shared_ptr<const Scene>& scene,
                                    uint64_t frame_number, uint32_t size);

}  // namespace sim
