// Frame-read throughput from the simulated camera at unlimited link speed, against the raw copy
// rate of the same bytes as a baseline. Per frame: Time is the wall time of one read, CPU the time
// the reading thread itself spent (the driver's and the stand-in's overhead); bytes_per_second is
// the throughput.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "tests/support/raw_frame_reader.h"

namespace {

constexpr size_t kFullFrame = 1921024;

void BM_FrameRead(benchmark::State& state) {
    camtest::Rig rig({.level = camtest::RigLevel::kUsb, .kept_frames = 0});
    if (!rig.ok()) {
        state.SkipWithError("the camera is not plugged in");
        return;
    }
    rig.sim().SetNoise(false);
    camtest::RawFrameReader reader(rig);
    if (!reader.ready() || reader.frame_size() != kFullFrame) {
        state.SkipWithError("camera not configured");
        return;
    }
    size_t failed = 0;
    for (auto _ : state) {
        if (!reader.Read()) {
            ++failed;
        }
    }
    if (failed != 0) {
        state.SkipWithError("a frame read failed");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFullFrame);
}
BENCHMARK(BM_FrameRead)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The floor of any frame read: copying the same bytes once.
void BM_FrameCopy(benchmark::State& state) {
    std::vector<uint8_t> source(kFullFrame, 0x5A);
    std::vector<uint8_t> target(kFullFrame);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), kFullFrame);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kFullFrame);
}
BENCHMARK(BM_FrameCopy)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
