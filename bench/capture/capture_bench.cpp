// Capture through the whole stack as a client sees it, at the default 40 MB/s link with two client
// buffers: frames per second from the presentation times against the link's limit (link speed /
// raw frame size), and picture numbers missed; as the baseline of the same run, the camera read
// alone, frame after frame, with nobody converting. And the process's CPU while the pin runs with
// the camera gone, every read failing: the worker must wait, not spin.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <thread>
#include <vector>

#include "camera/capture_setup.h"
#include "driver/camera_context.h"
#include "driver/device_callbacks.h"
#include "driver/pool_tags.h"
#include "platform/ks_client.h"
#include "platform/ks_host.h"
#include "platform/usb_bus.h"
#include "sim/sim_camera.h"
#include "usb/usb_transport.h"

namespace {

namespace client = platform::ks::client;

constexpr double kRawFrameBytes = 1921024;

// A started device with a running capture pin and its buffers queued.
class Capture {
  public:
    explicit Capture(size_t buffers) {
        port_ = platform::UsbBusPlugIn(&camera_);
        platform::ks::LoadDriver(DriverEntry);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        device_ = platform::ks::CreateDevice(port_, &status);
        if (device_ == nullptr || !NT_SUCCESS(platform::ks::StartDevice(device_)) ||
            !NT_SUCCESS(client::OpenFilter(device_, nullptr, &filter_))) {
            return;
        }
        std::vector<uint8_t> format;
        const KSPIN_DESCRIPTOR_EX* pin = client::PinDescriptor(filter_, 0);
        if (!NT_SUCCESS(
                client::IntersectFormat(filter_, 0, pin->PinDescriptor.DataRanges[0], &format)) ||
            !NT_SUCCESS(client::CreatePin(
                filter_, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), {}, &pin_)) ||
            !NT_SUCCESS(client::SetPinState(pin_, KSSTATE_PAUSE))) {
            return;
        }
        const ULONG size = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
                               ->VideoInfoHeader.bmiHeader.biSizeImage;
        for (size_t i = 0; i < buffers; ++i) {
            buffers_.push_back(client::CreateStreamBuffer(128, size));
            client::SubmitBuffer(pin_, buffers_.back());
        }
        ready_ = NT_SUCCESS(client::SetPinState(pin_, KSSTATE_RUN));
    }
    ~Capture() {
        if (filter_ != nullptr)
            client::CloseFilter(filter_);
        for (client::StreamBuffer* buffer : buffers_)
            client::FreeStreamBuffer(buffer);
        if (device_ != nullptr) {
            platform::ks::StopDevice(device_);
            platform::ks::RemoveDevice(device_);
        }
        platform::ks::UnloadDriver();
        platform::UsbBusUnplug(port_);
    }
    bool ready() const { return ready_; }
    sim::SimCamera& camera() { return camera_; }
    // The next filled buffer, given back to the pin once read; false on a time-out.
    bool Next(LONGLONG* time, LONGLONG* picture) {
        client::StreamBuffer* buffer = client::WaitForBuffer(pin_, 10000);
        if (buffer == nullptr)
            return false;
        *time = buffer->header->PresentationTime.Time;
        *picture = buffer->frame_info->PictureNumber;
        bool filled = buffer->header->DataUsed != 0;
        client::SubmitBuffer(pin_, buffer);
        return filled;
    }

  private:
    sim::SimCamera camera_;
    PDEVICE_OBJECT port_ = nullptr;
    PKSDEVICE device_ = nullptr;
    client::Filter* filter_ = nullptr;
    client::Pin* pin_ = nullptr;
    std::vector<client::StreamBuffer*> buffers_;
    bool ready_ = false;
};

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

// Frames per second from the presentation times of 60 consecutive frames after the first, against
// the link's limit; picture numbers are checked consecutive.
void BM_FrameRateAtDefaultLink(benchmark::State& state) {
    Capture capture(2);
    if (!capture.ready()) {
        state.SkipWithError("the capture pin did not run");
        return;
    }
    const int kFrames = 60;
    double fps = 0;
    double gaps = 0;
    for (auto _ : state) {
        LONGLONG first_time = 0;
        LONGLONG time = 0;
        LONGLONG first_picture = 0;
        LONGLONG picture = 0;
        if (!capture.Next(&first_time, &first_picture)) {
            state.SkipWithError("no frame");
            return;
        }
        LONGLONG previous = first_picture;
        for (int i = 0; i < kFrames; ++i) {
            if (!capture.Next(&time, &picture)) {
                state.SkipWithError("no frame");
                return;
            }
            gaps += (double)(picture - previous - 1);
            previous = picture;
        }
        fps = kFrames * 1e7 / (double)(time - first_time);
    }
    const double limit = sim::kDefaultLinkSpeed / kRawFrameBytes;
    state.counters["fps"] = fps;
    state.counters["link_limit_fps"] = limit;
    state.counters["percent_of_limit"] = 100.0 * fps / limit;
    state.counters["pictures_missed"] = gaps;
}
BENCHMARK(BM_FrameRateAtDefaultLink)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The camera's own rate at the default link: whole frames read one after another into one buffer,
// nothing converted or delivered.
void BM_CameraAloneAtDefaultLink(benchmark::State& state) {
    sim::SimCamera camera;
    PDEVICE_OBJECT port = platform::UsbBusPlugIn(&camera);
    auto* context =
        (CameraContext*)ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION),
                                              sizeof(CameraContext), kCameraContextTag);
    KeInitializeEvent(&context->transfer_event, NotificationEvent, FALSE);
    KeInitializeSpinLock(&context->transfer_lock);
    context->usb.lower_device = port;
    context->image_width = 1600;
    context->image_height = 1200;
    PUCHAR buffer = nullptr;
    if (StartUsbDevice(&context->usb) == STATUS_SUCCESS) {
        StartCapture(context, nullptr, 1600, 1200);
        buffer =
            (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, context->raw_frame_size, kFrameBufferTag);
    }
    const int kFrames = 60;
    double fps = 0;
    for (auto _ : state) {
        bool ok = false;
        if (buffer == nullptr || !ReadRawFrame(context, buffer, &ok)) {
            state.SkipWithError("no frame");
            break;
        }
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kFrames && ReadRawFrame(context, buffer, &ok); ++i) {
        }
        fps = kFrames /
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["fps"] = fps;
    state.counters["percent_of_limit"] = 100.0 * fps / (sim::kDefaultLinkSpeed / kRawFrameBytes);
    if (buffer != nullptr)
        ExFreePoolWithTag(buffer, kFrameBufferTag);
    StopUsbDevice(&context->usb);
    ExFreePoolWithTag(context, kCameraContextTag);
    platform::UsbBusUnplug(port);
}
BENCHMARK(BM_CameraAloneAtDefaultLink)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole process's CPU over five seconds of a running pin whose camera has gone: an upper bound
// for the worker's.
void BM_WorkerCpuWithTheCameraGone(benchmark::State& state) {
    Capture capture(2);
    if (!capture.ready()) {
        state.SkipWithError("the capture pin did not run");
        return;
    }
    LONGLONG time = 0;
    LONGLONG picture = 0;
    capture.Next(&time, &picture);
    capture.camera().Disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double percent = 0;
    for (auto _ : state) {
        double cpu = ProcessCpuSeconds();
        auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        percent = 100.0 * (ProcessCpuSeconds() - cpu) / wall;
    }
    state.counters["cpu_percent_of_a_core"] = percent;
}
BENCHMARK(BM_WorkerCpuWithTheCameraGone)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
