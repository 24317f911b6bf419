// Frame-read throughput from the simulated camera at unlimited link speed, against the raw copy
// rate of the same bytes as a baseline. Per frame: Time is the wall time of one read, CPU the time
// the reading thread itself spent (the driver's and the stand-in's overhead); bytes_per_second is
// the throughput.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "camera/capture_setup.h"
#include "camera/command_lock.h"
#include "camera/frame_read.h"
#include "driver/camera_context.h"
#include "driver/pool_tags.h"
#include "platform/usb_bus.h"
#include "sim/sim_camera.h"
#include "usb/usb_transport.h"

namespace {

constexpr size_t kFullFrame = 1921024;

class BenchCamera {
  public:
    BenchCamera() {
        sim_.SetLinkSpeed(0);
        sim_.SetNoise(false);
        port_ = platform::UsbBusPlugIn(&sim_);
        camera_ = (CameraContext*)ExAllocatePoolWithTag(
            (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), sizeof(CameraContext),
            kCameraContextTag);
        KeInitializeEvent(&camera_->transfer_event, NotificationEvent, FALSE);
        KeInitializeSpinLock(&camera_->transfer_lock);
        InitializeCommandLock(camera_);
        camera_->usb.lower_device = port_;
        camera_->image_width = 1600;
        camera_->image_height = 1200;
        ready_ = StartUsbDevice(&camera_->usb) == STATUS_SUCCESS;
        if (ready_) {
            StartCapture(camera_, nullptr, 1600, 1200);
            ready_ = camera_->raw_frame_size == kFullFrame;
        }
        buffer_ = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, kFullFrame, kFrameBufferTag);
    }
    ~BenchCamera() {
        ExFreePoolWithTag(buffer_, kFrameBufferTag);
        StopUsbDevice(&camera_->usb);
        ExFreePoolWithTag(camera_, kCameraContextTag);
        platform::UsbBusUnplug(port_);
    }
    bool ready() const { return ready_; }
    bool Read() {
        bool ok = false;
        return ReadRawFrame(camera_, buffer_, &ok);
    }

  private:
    sim::SimCamera sim_;
    PDEVICE_OBJECT port_ = nullptr;
    CameraContext* camera_ = nullptr;
    PUCHAR buffer_ = nullptr;
    bool ready_ = false;
};

void BM_FrameRead(benchmark::State& state) {
    BenchCamera camera;
    if (!camera.ready()) {
        state.SkipWithError("camera not configured");
        return;
    }
    size_t failed = 0;
    for (auto _ : state) {
        if (!camera.Read()) {
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
