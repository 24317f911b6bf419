// The conversion hot path against the memory floors measured in the same run: the fastest way this
// machine reads a raw frame and writes its 32-bit image, with both in the caches (hot) and with
// neither (cold: buffers no earlier iteration touched lately, stored past the caches). The run ends
// with each conversion's median CPU time as a multiple of both floors.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench/support/conversion_pipeline.h"
#include "bench/support/median_table.h"

namespace {

// More frames than the last-level cache holds, so that each cold iteration starts from memory.
constexpr int kColdFrames = 8;

using bench::Pipeline;
using bench::RandomFrame;

// A block of pixels on a 64-byte boundary, as a client's buffer would be.
struct AlignedFree {
    void operator()(void* block) const { std::free(block); }
};
using Pixels = std::unique_ptr<ULONG, AlignedFree>;
Pixels AlignedPixels(size_t count) {
    return Pixels((ULONG*)std::aligned_alloc(64, (count * 4 + 63) / 64 * 64));
}

void SetFrameCounters(benchmark::State& state, ULONG width, ULONG height) {
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (int64_t)width * height);
}

// ---- The floors: each raw byte read once, each 4-byte pixel written once ----------------------

// One raw byte to one pixel, grey with an opaque alpha: as little work per pixel as any
// conversion's output can take.
constexpr ULONG kAlpha = 0xFF000000u;

void FloorPlain(const UCHAR* in, ULONG* out, size_t count, bool) {
    for (size_t i = 0; i < count; ++i)
        out[i] = kAlpha | in[i] * 0x010101u;
}

__attribute__((target("avx2"))) void FloorAvx2(const UCHAR* in, ULONG* out, size_t count,
                                               bool stream) {
    const __m256i alpha = _mm256_set1_epi32((int)kAlpha);
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, -1, 4, 4, 4, -1, 8, 8, 8, -1, 12, 12, 12, -1,
                                            0, 0, 0, -1, 4, 4, 4, -1, 8, 8, 8, -1, 12, 12, 12, -1);
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i bytes = _mm_loadl_epi64((const __m128i*)(in + i));
        const __m256i pixels =
            _mm256_or_si256(_mm256_shuffle_epi8(_mm256_cvtepu8_epi32(bytes), spread), alpha);
        if (stream)
            _mm256_stream_si256((__m256i*)(out + i), pixels);
        else
            _mm256_storeu_si256((__m256i*)(out + i), pixels);
    }
    FloorPlain(in + i, out + i, count - i, false);
}

__attribute__((target("avx512f,avx512bw"))) void FloorAvx512(const UCHAR* in, ULONG* out,
                                                             size_t count, bool stream) {
    const __m512i alpha = _mm512_set1_epi32((int)kAlpha);
    const __m512i spread = _mm512_set4_epi32(0xFF0C0C0C, 0xFF080808, 0xFF040404, 0xFF000000);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i bytes = _mm_loadu_si128((const __m128i*)(in + i));
        const __m512i pixels =
            _mm512_or_si512(_mm512_shuffle_epi8(_mm512_cvtepu8_epi32(bytes), spread), alpha);
        if (stream)
            _mm512_stream_si512((__m512i*)(out + i), pixels);
        else
            _mm512_storeu_si512(out + i, pixels);
    }
    FloorPlain(in + i, out + i, count - i, false);
}

// The widest registers the processor has.
void (*WidestFloor(const char** name))(const UCHAR*, ULONG*, size_t, bool) {
    if (__builtin_cpu_supports("avx512bw")) {
        *name = "512-bit";
        return FloorAvx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        *name = "256-bit";
        return FloorAvx2;
    }
    *name = "plain";
    return FloorPlain;
}

void FloorHot(benchmark::State& state, ULONG width, ULONG height) {
    const char* name;
    auto floor = WidestFloor(&name);
    const std::vector<UCHAR> raw = RandomFrame(width, height);
    Pixels output = AlignedPixels(raw.size());
    for (auto _ : state) {
        floor(raw.data(), output.get(), raw.size(), false);
        benchmark::DoNotOptimize(output.get());
        benchmark::ClobberMemory();
    }
    state.SetLabel(name);
    SetFrameCounters(state, width, height);
}

void FloorCold(benchmark::State& state, ULONG width, ULONG height) {
    const char* name;
    auto floor = WidestFloor(&name);
    std::vector<std::vector<UCHAR>> raw(kColdFrames, RandomFrame(width, height));
    std::vector<Pixels> output;
    for (int i = 0; i < kColdFrames; ++i)
        output.push_back(AlignedPixels(size_t{width} * height));
    int next = 0;
    for (auto _ : state) {
        floor(raw[next].data(), output[next].get(), raw[next].size(), true);
        _mm_sfence();
        benchmark::DoNotOptimize(output[next].get());
        benchmark::ClobberMemory();
        next = (next + 1) % kColdFrames;
    }
    state.SetLabel(name);
    SetFrameCounters(state, width, height);
}

// ---- The conversions ---------------------------------------------------------------------------

void ConvertColor(benchmark::State& state, ULONG width, ULONG height) {
    Pipeline pipeline(width, height);
    for (auto _ : state) {
        pipeline.Convert();
        benchmark::ClobberMemory();
    }
    SetFrameCounters(state, width, height);
}

// One register width alone: 128 bits, the baseline every x64 processor has, 256 or 512. A width
// the processor lacks is reported as skipped rather than measured on a narrower path.
void ConvertColorWidth(benchmark::State& state, ULONG width, ULONG height, ULONG bits) {
    Pipeline pipeline(width, height);
    if (SetVectorWidthLimit(bits) != bits) {
        SetVectorWidthLimit(512);
        state.SkipWithError("this processor has no path of that width");
        return;
    }
    for (auto _ : state) {
        pipeline.Convert();
        benchmark::ClobberMemory();
    }
    SetVectorWidthLimit(512);
    SetFrameCounters(state, width, height);
}

void ConvertColorSse2(benchmark::State& state, ULONG width, ULONG height) {
    ConvertColorWidth(state, width, height, 128);
}

void ConvertColorAvx2(benchmark::State& state, ULONG width, ULONG height) {
    ConvertColorWidth(state, width, height, 256);
}

void ConvertColorAvx512(benchmark::State& state, ULONG width, ULONG height) {
    ConvertColorWidth(state, width, height, 512);
}

// As a delivery converts: each frame from a raw frame not read lately into a client's buffer not
// written lately, bottom-up, with or without the stores past the caches.
void IntoClientBuffers(benchmark::State& state, ULONG width, ULONG height, bool streaming) {
    Pipeline pipeline(width, height);
    std::vector<std::vector<UCHAR>> raw(kColdFrames, RandomFrame(width, height));
    std::vector<Pixels> buffers;
    for (int i = 0; i < kColdFrames; ++i)
        buffers.push_back(AlignedPixels(size_t{width} * height));
    int next = 0;
    for (auto _ : state) {
        const ImageDestination destination = {buffers[next].get() + size_t{width} * (height - 1),
                                              -(LONG_PTR)width * 4,
                                              (LONG)width,
                                              (LONG)height,
                                              false,
                                              streaming};
        ConvertFrame(pipeline.processor(), raw[next].data(), 0, width, &destination);
        benchmark::ClobberMemory();
        next = (next + 1) % kColdFrames;
    }
    SetFrameCounters(state, width, height);
}

void ConvertColorIntoClient(benchmark::State& state, ULONG width, ULONG height) {
    IntoClientBuffers(state, width, height, true);
}

void ConvertColorIntoClientCached(benchmark::State& state, ULONG width, ULONG height) {
    IntoClientBuffers(state, width, height, false);
}

void ConvertGrey(benchmark::State& state, ULONG width, ULONG height) {
    Pipeline pipeline(width, height);
    InterlockedExchange(&pipeline.processor()->color_enable, 0);
    for (auto _ : state) {
        pipeline.Convert();
        benchmark::ClobberMemory();
    }
    SetFrameCounters(state, width, height);
}

void ConvertColorAwb(benchmark::State& state, ULONG width, ULONG height) {
    Pipeline pipeline(width, height);
    InterlockedExchange(&pipeline.processor()->white_balance_auto, 1);
    for (auto _ : state) {
        pipeline.Convert();
        benchmark::ClobberMemory();
    }
    SetFrameCounters(state, width, height);
}

// The whole frame on the plain per-pixel path.
void ConvertColorScalar(benchmark::State& state, ULONG width, ULONG height) {
    Pipeline pipeline(width, height);
    ConversionState* conversion = &pipeline.processor()->conversion;
    conversion->params.output = pipeline.output();
    conversion->params.frame_red_gain = 128;
    conversion->params.frame_green_gain = 128;
    conversion->params.frame_blue_gain = 128;
    for (auto _ : state) {
        ::LoadWorkBuffer(conversion, pipeline.raw(), 0, width);
        SnapshotFixedMatrix(pipeline.processor(), conversion->params.matrix);
        for (int k = 0; k < 16; ++k) {
            conversion->matrix_positive[k] = conversion->params.matrix[k] > 0;
        }
        ConvertBayerToBgrxScalar(&conversion->params, conversion->matrix_positive, 0);
        benchmark::ClobberMemory();
    }
    SetFrameCounters(state, width, height);
}

void LoadWorkBuffer(benchmark::State& state, ULONG width, ULONG height) {
    Pipeline pipeline(width, height);
    for (auto _ : state) {
        ::LoadWorkBuffer(&pipeline.processor()->conversion, pipeline.raw(), 0, width);
        benchmark::ClobberMemory();
    }
    SetFrameCounters(state, width, height);
}

#define CAM_FRAME_SIZES(function)                                                      \
    BENCHMARK_CAPTURE(function, 1600x1200, 1600, 1200)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(function, 640x480, 640, 480)->Unit(benchmark::kMillisecond)

CAM_FRAME_SIZES(FloorHot);
CAM_FRAME_SIZES(FloorCold);
CAM_FRAME_SIZES(ConvertColor);
CAM_FRAME_SIZES(ConvertColorSse2);
CAM_FRAME_SIZES(ConvertColorAvx2);
CAM_FRAME_SIZES(ConvertColorAvx512);
CAM_FRAME_SIZES(ConvertColorIntoClient);
CAM_FRAME_SIZES(ConvertColorIntoClientCached);
CAM_FRAME_SIZES(ConvertGrey);
CAM_FRAME_SIZES(ConvertColorAwb);
CAM_FRAME_SIZES(ConvertColorScalar);
CAM_FRAME_SIZES(LoadWorkBuffer);

// Each conversion of the full frame against both floors of this run.
void Summary(const bench::MedianTable& table) {
    const std::string size = "/1600x1200";
    const double hot = table.CpuMs("FloorHot" + size);
    const double cold = table.CpuMs("FloorCold" + size);
    std::printf("1600x1200, median CPU time per frame; floors of this run: hot %s ms, cold %s ms\n",
                bench::Figure(hot).c_str(), bench::Figure(cold).c_str());
    std::printf("%-30s %10s %14s %14s\n", "", "ms", "x hot floor", "x cold floor");
    for (const char* name :
         {"ConvertColor", "ConvertColorSse2", "ConvertColorAvx2", "ConvertColorAvx512",
          "ConvertColorIntoClient", "ConvertColorIntoClientCached", "ConvertGrey",
          "ConvertColorAwb", "LoadWorkBuffer"}) {
        const double ms = table.CpuMs(name + size);
        std::printf("%-30s %10s %14s %14s\n", name, bench::Figure(ms).c_str(),
                    bench::Ratio(ms, hot).c_str(), bench::Ratio(ms, cold).c_str());
    }
    std::printf("goal: ConvertColorAvx2 at most 2.50 x the cold floor\n");
}

}  // namespace

int main(int argc, char** argv) {
    return bench::RunWithSummary(argc, argv, Summary);
}
