// Streaming through the whole stack as a capture application sees it (camera, bus, worker,
// conversion, delivery into two client buffers), at unlimited link speed and at the default
// 40 MB/s: frames per second from the presentation times, the driver's CPU time per frame and the
// picture numbers missed. As the baseline of the same run, the camera's own sending rate at each
// speed: whole frames read one after another into one buffer, nobody converting. And the driver's
// CPU while a pin runs with its camera gone, every read failing: the worker must wait, not spin.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "platform/verifier.h"
#include "tests/support/raw_frame_reader.h"

namespace {

constexpr int kWarmUpFrames = 5;
constexpr int kFrames = 60;

// A started device with a running capture pin and two buffers queued on it.
class Stream {
  public:
    explicit Stream(uint64_t link_speed)
        : rig_({.level = camtest::RigLevel::kRunning, .link_speed = link_speed, .kept_frames = 0}) {
    }
    bool ready() const { return rig_.ok(); }
    sim::SimCamera& camera() { return rig_.sim(); }
    uint32_t raw_frame_bytes() { return camera().state().AnnouncedFrameSize(); }
    // The next filled buffer's time stamp and picture number; the buffer goes straight back.
    bool Next(LONGLONG* time, LONGLONG* picture) {
        camtest::Delivered image;
        if (!camtest::TakeImage(rig_.pin(), &image))
            return false;
        *time = image.header.PresentationTime.Time;
        *picture = image.frame_info.PictureNumber;
        return true;
    }

  private:
    camtest::Rig rig_;
};

void BM_Stream(benchmark::State& state) {
    const uint64_t link_speed = (uint64_t)state.range(0);
    Stream stream(link_speed);
    if (!stream.ready()) {
        state.SkipWithError("the capture pin did not run");
        return;
    }
    LONGLONG time = 0;
    LONGLONG picture = 0;
    for (int i = 0; i < kWarmUpFrames; ++i) {
        if (!stream.Next(&time, &picture)) {
            state.SkipWithError("no frame");
            return;
        }
    }
    double fps = 0;
    double cpu_ms = 0;
    double missed = 0;
    for (auto _ : state) {
        LONGLONG first_time = 0;
        LONGLONG previous = 0;
        if (!stream.Next(&first_time, &previous)) {
            state.SkipWithError("no frame");
            return;
        }
        const uint64_t cpu = platform::verifier::DriverCpuNanoseconds();
        for (int i = 0; i < kFrames; ++i) {
            if (!stream.Next(&time, &picture)) {
                state.SkipWithError("no frame");
                return;
            }
            missed += (double)(picture - previous - 1);
            previous = picture;
        }
        cpu_ms = (double)(platform::verifier::DriverCpuNanoseconds() - cpu) * 1e-6 / kFrames;
        fps = kFrames * 1e7 / (double)(time - first_time);
    }
    state.counters["fps"] = fps;
    state.counters["driver_cpu_ms_per_frame"] = cpu_ms;
    state.counters["pictures_missed"] = missed;
    if (link_speed != 0) {
        const double limit = (double)link_speed / stream.raw_frame_bytes();
        state.counters["link_limit_fps"] = limit;
        state.counters["percent_of_limit"] = 100.0 * fps / limit;
    }
}

// The camera's own rate: whole frames read one after another into one buffer, nothing converted
// or delivered.
void BM_CameraAlone(benchmark::State& state) {
    const uint64_t link_speed = (uint64_t)state.range(0);
    camtest::Rig rig(
        {.level = camtest::RigLevel::kUsb, .link_speed = link_speed, .kept_frames = 0});
    camtest::RawFrameReader reader(rig);
    double fps = 0;
    for (auto _ : state) {
        if (!reader.ready() || !reader.Read()) {
            state.SkipWithError("no frame");
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        int frames = 0;
        while (frames < kFrames && reader.Read())
            ++frames;
        fps = frames /
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["fps"] = fps;
    if (link_speed != 0 && reader.ready()) {
        state.counters["percent_of_limit"] =
            100.0 * fps / ((double)link_speed / reader.frame_size());
    }
}

// The driver's CPU over five seconds of a running pin whose camera has gone.
void BM_WorkerCpuWithTheCameraGone(benchmark::State& state) {
    Stream stream(sim::kDefaultLinkSpeed);
    if (!stream.ready()) {
        state.SkipWithError("the capture pin did not run");
        return;
    }
    LONGLONG time = 0;
    LONGLONG picture = 0;
    stream.Next(&time, &picture);
    stream.camera().SetFaults({.disconnected = true});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double percent = 0;
    for (auto _ : state) {
        const uint64_t cpu = platform::verifier::DriverCpuNanoseconds();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        percent = 100.0 * (double)(platform::verifier::DriverCpuNanoseconds() - cpu) * 1e-9 / wall;
    }
    state.counters["driver_cpu_percent_of_a_core"] = percent;
}

// Link speeds in bytes per second: 0 sends as fast as the bus takes it.
void LinkSpeeds(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgName("link")->Arg(0)->Arg((int64_t)sim::kDefaultLinkSpeed);
}

BENCHMARK(BM_CameraAlone)
    ->Apply(LinkSpeeds)
    ->Repetitions(5)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Stream)
    ->Apply(LinkSpeeds)
    ->Repetitions(5)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_WorkerCpuWithTheCameraGone)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
