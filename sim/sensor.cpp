#include "sim/sensor.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

// Signal of a white scene at exposure 100 and gain x1, in output steps.
constexpr double kFullScale = 200.0;
constexpr double kReferenceExposure = 100.0;
// Relative sensitivity of the red, green and blue sites: the raw picture is green-heavy, as an
// uncorrected sensor's is.
constexpr double kSensitivity[3] = {0.78, 1.0, 0.62};
constexpr double kReadNoise = 1.2;   // steps, before gain
constexpr double kShotNoise = 0.08;  // variance per step of signal

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A standard normal variate from 64 random bits: the sum of four uniforms, rescaled.
double Normal(uint64_t bits) {
    double sum = 0;
    for (int i = 0; i < 4; ++i) {
        sum += static_cast<double>((bits >> (16 * i)) & 0xFFFF) / 65535.0;
    }
    return (sum - 2.0) * 1.7320508075688772;
}

}  // namespace

double GainFactor(uint32_t gain) {
    return std::exp2((static_cast<double>(gain) - 512.0) / 256.0);
}

double EffectiveExposure(const SensorSettings& settings) {
    return (static_cast<double>(settings.exposure_a) + static_cast<double>(settings.exposure_b)) /
           2.0;
}

void RenderRows(const SensorSettings& settings, const Scene& scene, uint64_t frame_number,
                uint32_t y0, uint32_t y1, uint8_t* out) {
    const uint32_t width = settings.width;
    std::vector<Rgb> row(width);
    const double exposure_scale = EffectiveExposure(settings) / kReferenceExposure * kFullScale;
    const double gain = GainFactor(settings.gain);
    const uint64_t frame_key = Mix(settings.seed ^ Mix(frame_number));
    for (uint32_t y = y0; y < y1; ++y) {
        scene.Row(y, width, settings.height, frame_number, row.data());
        uint8_t* samples = out + size_t{y - y0} * width;
        for (uint32_t x = 0; x < width; ++x) {
            // GRBG: green where row and column parity agree, red on even rows, blue on odd.
            const int channel = ((x ^ y) & 1) == 0 ? 1 : (y & 1) == 0 ? 0 : 2;
            const float reflectance = channel == 0 ? row[x].r : channel == 1 ? row[x].g : row[x].b;
            double signal = std::clamp(static_cast<double>(reflectance), 0.0, 1.0) *
                            exposure_scale * kSensitivity[channel];
            if (settings.noise) {
                const uint64_t pixel = uint64_t{y} * width + x;
                const double sigma = std::sqrt(kReadNoise * kReadNoise + kShotNoise * signal);
                signal += sigma * Normal(Mix(frame_key ^ pixel));
            }
            const double value = std::round(signal * gain);
            samples[x] = static_cast<uint8_t>(std::clamp(value, 0.0, 255.0));
        }
    }
}

std::vector<uint8_t> RenderRawFrame(const SensorSettings& settings, const Scene& scene,
                                    uint64_t frame_number, uint32_t size) {
    const size_t pixels = size_t{settings.width} * settings.height;
    std::vector<uint8_t> frame(std::max<size_t>(size, pixels), 0);
    RenderRows(settings, scene, frame_number, 0, settings.height, frame.data());
    frame.resize(size);
    return frame;
}

}  // namespace sim
