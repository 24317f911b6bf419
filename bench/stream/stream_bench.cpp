// Streaming through the whole stack as a capture application sees it (camera, bus, worker,
// conversion, delivery into two client buffers), at unlimited link speed and at the default
// 40 MB/s: frames per second from the presentation times, the driver's CPU time per frame and the
// picture numbers missed. As the baseline of the same run, the camera's own sending rate at each
// speed: whole frames read one after another into one buffer, nobody converting. And the driver's
// CPU while a pin runs with its camera gone, every read failing: the worker must wait, not spin.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "camera/capture_setup.h"
#include "camera/command_lock.h"
#include "camera/frame_read.h"
#include "driver/camera_context.h"
#include "driver/pool_tags.h"
#include "platform/usb_bus.h"
#include "platform/verifier.h"
#include "sim/sim_camera.h"
#include "tools/common/camera_filter.h"
#include "tools/common/capture_stream.h"
#include "tools/common/session.h"
#include "usb/usb_transport.h"

namespace {

constexpr int kWarmUpFrames = 5;
constexpr int kFrames = 60;
constexpr uint32_t kWaitMs = 10000;

// The benchmark's own settings file, so that no run reads or changes the user's.
std::string StoreFile() {
    return "/tmp/stream_bench." + std::to_string(getpid()) + ".reg";
}

// A started device with a running capture pin and two buffers queued on it.
class Stream {
  public:
    explicit Stream(uint64_t link_speed) : session_(Options(link_speed)) {
        if (session_.device() == nullptr)
            return;
        filter_ = std::make_unique<camtools::CameraFilter>(session_.device());
        if (!NT_SUCCESS(filter_->status()) || !stream_.Open(filter_->filter(), {}).empty())
            return;
        ready_ = NT_SUCCESS(stream_.Run());
    }
    ~Stream() {
        stream_.Close();
        filter_.reset();
        session_.Close();
        std::remove(StoreFile().c_str());
    }
    bool ready() const { return ready_; }
    sim::SimCamera& camera() { return session_.camera(); }
    uint32_t raw_frame_bytes() { return camera().state().AnnouncedFrameSize(); }
    // The next filled buffer's time stamp and picture number; the buffer goes straight back.
    bool Next(LONGLONG* time, LONGLONG* picture) {
        for (;;) {
            camtools::client::StreamBuffer* buffer = stream_.Next(kWaitMs);
            if (buffer == nullptr)
                return false;
            const bool filled = buffer->header->DataUsed != 0;
            *time = buffer->header->PresentationTime.Time;
            *picture = buffer->frame_info->PictureNumber;
            stream_.Recycle(buffer);
            if (filled)
                return true;
        }
    }

  private:
    static camtools::SessionOptions Options(uint64_t link_speed) {
        camtools::SessionOptions options;
        options.registry = StoreFile();
        options.link_speed = link_speed;
        return options;
    }

    camtools::Session session_;
    std::unique_ptr<camtools::CameraFilter> filter_;
    camtools::CaptureStream stream_;
    bool ready_ = false;
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
    sim::SimCamera camera;
    camera.SetLinkSpeed(link_speed);
    PDEVICE_OBJECT port = platform::UsbBusPlugIn(&camera);
    auto* context =
        (CameraContext*)ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION),
                                              sizeof(CameraContext), kCameraContextTag);
    KeInitializeEvent(&context->transfer_event, NotificationEvent, FALSE);
    KeInitializeSpinLock(&context->transfer_lock);
    InitializeCommandLock(context);
    context->usb.lower_device = port;
    context->image_width = 1600;
    context->image_height = 1200;
    PUCHAR buffer = nullptr;
    if (StartUsbDevice(&context->usb) == STATUS_SUCCESS) {
        StartCapture(context, nullptr, 1600, 1200);
        buffer =
            (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, context->raw_frame_size, kFrameBufferTag);
    }
    double fps = 0;
    for (auto _ : state) {
        bool ok = false;
        if (buffer == nullptr || !ReadRawFrame(context, buffer, &ok)) {
            state.SkipWithError("no frame");
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        int frames = 0;
        while (frames < kFrames && ReadRawFrame(context, buffer, &ok))
            ++frames;
        fps = frames /
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["fps"] = fps;
    if (link_speed != 0) {
        state.counters["percent_of_limit"] =
            100.0 * fps / ((double)link_speed / context->raw_frame_size);
    }
    if (buffer != nullptr)
        ExFreePoolWithTag(buffer, kFrameBufferTag);
    StopUsbDevice(&context->usb);
    ExFreePoolWithTag(context, kCameraContextTag);
    platform::UsbBusUnplug(port);
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
