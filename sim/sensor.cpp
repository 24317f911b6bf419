#include "sim/sensor.h"

#include <algorithm>
#include <cmath>

#include <immintrin.h>

#include <atomic>

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

// The sample of a signal in steps before gain. Clamped before scaling so that a huge gain cannot
// overflow the conversion.
uint8_t Quantise(float signal, float top, float gain) {
    signal = signal < 0.0f ? 0.0f : signal > top ? top : signal;
    const float value = signal * gain + 0.5f;
    return static_cast<uint8_t>(value > 255.0f ? 255.0f : value);
}

// The deviation of a signal's noise, in steps before gain: read noise and shot noise, by whole
// steps of the noiseless signal up to last_step, beyond which the signal saturates whatever the
// noise.
float Deviation(float signal, int32_t last_step) {
    const int32_t step = std::min(static_cast<int32_t>(signal), last_step);
    return std::sqrt(kReadNoise * kReadNoise + kShotNoise * static_cast<float>(step));
}

// What a row's samples are made from.
struct RowInputs {
    const float* signal;  // noiseless, in steps before gain
    const float* noise;   // standard normal variates; null for a frame without noise
    int32_t last_step;
    float top;  // the signal that saturates at this gain
    float gain;
};

// The vector steps below compute exactly what Deviation and Quantise do, lane by lane: a
// conversion there and back truncates as the casts do, and maximum and minimum are the clamps and
// the step's limit. Square roots are correctly rounded at every width.

template <bool kNoise>
inline __attribute__((always_inline)) __m128i FourSamples(const RowInputs& row, uint32_t x) {
    __m128 s = _mm_loadu_ps(row.signal + x);
    if constexpr (kNoise) {
        const __m128 step =
            _mm_min_ps(_mm_cvtepi32_ps(_mm_cvttps_epi32(s)), _mm_set1_ps((float)row.last_step));
        const __m128 deviation = _mm_sqrt_ps(_mm_add_ps(_mm_set1_ps(kReadNoise * kReadNoise),
                                                        _mm_mul_ps(_mm_set1_ps(kShotNoise), step)));
        s = _mm_add_ps(s, _mm_mul_ps(deviation, _mm_loadu_ps(row.noise + x)));
    }
    s = _mm_min_ps(_mm_max_ps(s, _mm_setzero_ps()), _mm_set1_ps(row.top));
    const __m128 value = _mm_min_ps(
        _mm_add_ps(_mm_mul_ps(s, _mm_set1_ps(row.gain)), _mm_set1_ps(0.5f)), _mm_set1_ps(255.0f));
    return _mm_cvttps_epi32(value);
}

template <bool kNoise>
inline __attribute__((target("avx2"), always_inline)) __m256i EightSamples(const RowInputs& row,
                                                                           uint32_t x) {
    __m256 s = _mm256_loadu_ps(row.signal + x);
    if constexpr (kNoise) {
        const __m256 step = _mm256_min_ps(_mm256_cvtepi32_ps(_mm256_cvttps_epi32(s)),
                                          _mm256_set1_ps((float)row.last_step));
        const __m256 deviation =
            _mm256_sqrt_ps(_mm256_add_ps(_mm256_set1_ps(kReadNoise * kReadNoise),
                                         _mm256_mul_ps(_mm256_set1_ps(kShotNoise), step)));
        s = _mm256_add_ps(s, _mm256_mul_ps(deviation, _mm256_loadu_ps(row.noise + x)));
    }
    s = _mm256_min_ps(_mm256_max_ps(s, _mm256_setzero_ps()), _mm256_set1_ps(row.top));
    const __m256 value = _mm256_min_ps(
        _mm256_add_ps(_mm256_mul_ps(s, _mm256_set1_ps(row.gain)), _mm256_set1_ps(0.5f)),
        _mm256_set1_ps(255.0f));
    return _mm256_cvttps_epi32(value);
}

template <bool kNoise>
void RemainingSamples(const RowInputs& row, uint32_t x, uint32_t width, uint8_t* out) {
    for (; x < width; ++x) {
        float s = row.signal[x];
        if constexpr (kNoise) {
            s += Deviation(s, row.last_step) * row.noise[x];
        }
        out[x] = Quantise(s, row.top, row.gain);
    }
}

// One row of samples, sixteen at a time in 128-bit registers, the baseline every x64 processor
// has.
template <bool kNoise>
void RenderRow128(const RowInputs& row, uint32_t width, uint8_t* out) {
    uint32_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i bytes = _mm_packus_epi16(
            _mm_packs_epi32(FourSamples<kNoise>(row, x), FourSamples<kNoise>(row, x + 4)),
            _mm_packs_epi32(FourSamples<kNoise>(row, x + 8), FourSamples<kNoise>(row, x + 12)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), bytes);
    }
    RemainingSamples<kNoise>(row, x, width, out);
}

// The same, thirty-two at a time in 256-bit registers. Packing works within each 128-bit half, so
// the bytes come out as groups of four that one permutation puts in order.
template <bool kNoise>
__attribute__((target("avx2"))) void RenderRow256(const RowInputs& row, uint32_t width,
                                                  uint8_t* out) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    uint32_t x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m256i bytes = _mm256_packus_epi16(
            _mm256_packs_epi32(EightSamples<kNoise>(row, x), EightSamples<kNoise>(row, x + 8)),
            _mm256_packs_epi32(EightSamples<kNoise>(row, x + 16),
                               EightSamples<kNoise>(row, x + 24)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                            _mm256_permutevar8x32_epi32(bytes, order));
    }
    RemainingSamples<kNoise>(row, x, width, out);
}

uint32_t WidestSensorPath() {
    return __builtin_cpu_supports("avx2") ? 256 : 128;
}

std::atomic<uint32_t> g_vector_bits{WidestSensorPath()};

template <bool kNoise>
void RenderRow(uint32_t bits, const RowInputs& row, uint32_t width, uint8_t* out) {
    if (bits >= 256) {
        RenderRow256<kNoise>(row, width, out);
    } else {
        RenderRow128<kNoise>(row, width, out);
    }
}

}  // namespace

double GainFactor(uint32_t gain) {
    return std::exp2((static_cast<double>(gain) - 512.0) / 256.0);
}

double EffectiveExposure(const SensorSettings& settings) {
    return (static_cast<double>(settings.exposure_a) + static_cast<double>(settings.exposure_b)) /
           2.0;
}

void Sensor::StartFrame(const SensorSettings& settings, const std::shared_ptr<const Scene>& scene,
                        uint64_t frame_number) {
    const double exposure = EffectiveExposure(settings);
    if (scene != scene_ || settings.width != width_ || settings.height != height_ ||
        exposure != exposure_) {
        scene_ = scene;
        width_ = settings.width;
        height_ = settings.height;
        exposure_ = exposure;
        frame_number_ = frame_number;
        Rebuild();
    } else if (frame_number != frame_number_) {
        // Where the previous frame moved goes back to the scene as this frame has it.
        const Area before = scene_->Moving(width_, height_, frame_number_);
        frame_number_ = frame_number;
        Update(before);
        Update(scene_->Moving(width_, height_, frame_number_));
    }

    frame_key_ = Mix(settings.seed ^ Mix(frame_number));
    gain_ = static_cast<float>(GainFactor(settings.gain));
    noise_on_ = settings.noise;
    if (noise_on_) {
        noise_.resize(kNoiseTableSize + width_);
        for (uint32_t i = 0; i < kNoiseTableSize; ++i) {
            noise_[i] = Normal(Mix(frame_key_ + i));
        }
        for (size_t i = kNoiseTableSize; i < noise_.size(); ++i) {
            noise_[i] = noise_[i & (kNoiseTableSize - 1)];
        }
    }
}

void Sensor::Rebuild() {
    const float exposure = static_cast<float>(exposure_) / kReferenceExposure * kFullScale;
    for (int c = 0; c < 3; ++c) {
        scale_[c] = exposure * kSensitivity[c];
    }
    last_step_ = static_cast<int32_t>(std::max(scale_[0], scale_[1])) + 2;
    signal_plane_.resize(size_t{width_} * height_);
    row_.resize(width_);
    Update({0, 0, width_, height_});
}

void Sensor::Update(const Area& area) {
    const uint32_t x1 = std::min(area.x1, width_);
    const uint32_t y1 = std::min(area.y1, height_);
    if (area.x0 >= x1) {
        return;
    }
    for (uint32_t y = area.y0; y < y1; ++y) {
        scene_->Row(y, area.x0, x1, width_, height_, frame_number_, row_.data());
        float* signal = signal_plane_.data() + size_t{y} * width_;
        for (uint32_t x = area.x0; x < x1; ++x) {
            // GRBG: even rows alternate green and red, odd rows blue and green.
            const bool first_in_pair = (x & 1) == 0;
            int channel;
            float reflectance;
            if ((y & 1) == 0) {
                channel = first_in_pair ? 1 : 0;
                reflectance = first_in_pair ? row_[x].g : row_[x].r;
            } else {
                channel = first_in_pair ? 2 : 1;
                reflectance = first_in_pair ? row_[x].b : row_[x].g;
            }
            reflectance = reflectance < 0.0f ? 0.0f : reflectance > 1.0f ? 1.0f : reflectance;
            signal[x] = reflectance * scale_[channel];
        }
    }
}

uint32_t SetSensorVectorWidth(uint32_t bits) {
    const uint32_t usable = std::min(bits, WidestSensorPath()) >= 256 ? 256 : 128;
    g_vector_bits = usable;
    return usable;
}

void Sensor::Rows(uint32_t y0, uint32_t y1, uint8_t* out) const {
    const uint32_t bits = g_vector_bits;
    RowInputs row = {nullptr, nullptr, last_step_, 255.0f / gain_, gain_};
    for (uint32_t y = y0; y < y1; ++y) {
        row.signal = signal_plane_.data() + size_t{y} * width_;
        uint8_t* samples = out + size_t{y - y0} * width_;
        if (noise_on_) {
            const uint32_t offset = static_cast<uint32_t>(Mix(frame_key_ ^ y));
            row.noise = noise_.data() + (offset & (kNoiseTableSize - 1));
            RenderRow<true>(bits, row, width_, samples);
        } else {
            RenderRow<false>(bits, row, width_, samples);
        }
    }
}

std::vector<uint8_t> RenderRawFrame(const SensorSettings& settings,
                                    const std::shared_ptr<const Scene>& scene,
                                    uint64_t frame_number, uint32_t size) {
    const size_t pixels = size_t{settings.width} * settings.height;
    std::vector<uint8_t> frame(std::max<size_t>(size, pixels), 0);
    Sensor sensor;
    sensor.StartFrame(settings, scene, frame_number);
    sensor.Rows(0, settings.height, frame.data());
    frame.resize(size);
    return frame;
}

}  // namespace sim
