// The simulated camera's sensor: the CPU time of each frame it renders of the chart, at the full
// window, with and without noise, one frame after another as the camera sends them; and of the
// first frame after a change of settings, which works the whole scene out again.
#include <benchmark/benchmark.h>

#include <vector>

#include "sim/sensor.h"

namespace {

sim::SensorSettings Settings(bool noise) {
    sim::SensorSettings settings;
    settings.exposure_a = 100;
    settings.exposure_b = 100;
    settings.gain = 512;
    settings.noise = noise;
    return settings;
}

void RenderFrames(benchmark::State& state, bool noise) {
    const sim::SensorSettings settings = Settings(noise);
    const auto scene = sim::MakeChartScene();
    std::vector<uint8_t> frame(size_t{settings.width} * settings.height);
    sim::Sensor sensor;
    uint64_t number = 0;
    sensor.StartFrame(settings, scene, number++);
    for (auto _ : state) {
        sensor.StartFrame(settings, scene, number++);
        sensor.Rows(0, settings.height, frame.data());
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_NextFrame(benchmark::State& state) {
    RenderFrames(state, true);
}

void BM_NextFrameWithoutNoise(benchmark::State& state) {
    RenderFrames(state, false);
}

// Every frame a new exposure: the whole scene each time.
void BM_FrameAfterASettingsChange(benchmark::State& state) {
    sim::SensorSettings settings = Settings(true);
    const auto scene = sim::MakeChartScene();
    std::vector<uint8_t> frame(size_t{settings.width} * settings.height);
    sim::Sensor sensor;
    uint64_t number = 0;
    for (auto _ : state) {
        settings.exposure_a = 100 + number % 2;
        sensor.StartFrame(settings, scene, number++);
        sensor.Rows(0, settings.height, frame.data());
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_NextFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NextFrameWithoutNoise)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameAfterASettingsChange)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
