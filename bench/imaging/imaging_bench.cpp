// The conversion hot path against the memory floor measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "imaging/frame_processor.h"

namespace {

std::vector<UCHAR> RandomFrame(ULONG width, ULONG height) {
    std::mt19937 random(42);
    std::vector<UCHAR> raw(width * height);
    for (UCHAR& sample : raw)
        sample = (UCHAR)random();
    return raw;
}

struct ProcessorDeleter {
    void operator()(FrameProcessor* processor) const { FreeFrameProcessor(processor); }
};

// A processor streaming one geometry into an output of its own.
class Pipeline {
  public:
    Pipeline(ULONG width, ULONG height)
        : processor_(CreateFrameProcessor()),
          raw_(RandomFrame(width, height)),
          output_(width * height) {
        SetConversionGeometry(processor_.get(), width, height);
        AllocateWorkBuffer(processor_.get());
        processor_->conversion.output_buffer = output_.data();
    }
    ~Pipeline() { processor_->conversion.output_buffer = nullptr; }
    FrameProcessor* processor() { return processor_.get(); }
    const UCHAR* raw() const { return raw_.data(); }
    ULONG* output() { return output_.data(); }
    VOID Convert() { ConvertFrame(processor(), raw(), 0, processor_->conversion.conversion_width); }

  private:
    std::unique_ptr<FrameProcessor, ProcessorDeleter> processor_;
    std::vector<UCHAR> raw_;
    std::vector<ULONG> output_;
};

void SetFrameCounters(benchmark::State& state, ULONG width, ULONG height) {
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (int64_t)width * height);
}

// Reading the raw bytes and writing the 4-byte pixels: no conversion can beat this.
void Floor(benchmark::State& state, ULONG width, ULONG height) {
    const std::vector<UCHAR> raw = RandomFrame(width, height);
    std::vector<ULONG> output(width * height);
    for (auto _ : state) {
        const UCHAR* in = raw.data();
        ULONG* out = output.data();
        for (size_t i = 0; i < raw.size(); ++i)
            out[i] = 0xFF000000u | in[i] * 0x010101u;
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    SetFrameCounters(state, width, height);
}

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

CAM_FRAME_SIZES(Floor);
CAM_FRAME_SIZES(ConvertColor);
CAM_FRAME_SIZES(ConvertColorSse2);
CAM_FRAME_SIZES(ConvertColorAvx2);
CAM_FRAME_SIZES(ConvertColorAvx512);
CAM_FRAME_SIZES(ConvertGrey);
CAM_FRAME_SIZES(ConvertColorAwb);
CAM_FRAME_SIZES(ConvertColorScalar);
CAM_FRAME_SIZES(LoadWorkBuffer);

}  // namespace

BENCHMARK_MAIN();
