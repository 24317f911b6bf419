#include "tests/support/rig.h"

#include <cstdio>
#include <utility>

#include "driver/camera_context_ops.h"
#include "driver/image_size.h"
#include "platform/ks_host.h"
#include "platform/registry_host.h"
#include "platform/usb_bus.h"
#include "tests/support/driver_under_test.h"
#include "tests/support/failure_report.h"
#include "tests/support/property_records.h"
#include "usb/usb_transport.h"

namespace camtest {

namespace {

WCHAR kReference[] = u"GLOBAL";

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", (unsigned)status);
    return text;
}

}  // namespace

Rig::Rig(const RigOptions& options) : options_(options), folder_("rig") {
    platform::registry::SetStoreFile(registry_file());
    ok_ = Climb();
}

bool Rig::Climb() {
    if (options_.plugged) {
        sim_ = std::make_unique<ProbedCamera>();
        sim_->SetLinkSpeed(options_.link_speed);
        sim_->SetWindow((uint32_t)options_.width, (uint32_t)options_.height);
        sim_->SetHostTrigger(options_.host_trigger);
        sim_->records().KeepSentFrames(options_.kept_frames);
        port_ = platform::UsbBusPlugIn(sim_.get());
    }
    NTSTATUS status = LoadDriverUnderTest();
    if (!NT_SUCCESS(status))
        return Failed("loading the driver", status);
    driver_loaded_ = true;
    volatile LONG& timeout = DriverGlobal(frame_timeout_ms, "frame_timeout_ms");
    saved_timeout_ = timeout;
    timeout = options_.frame_timeout_ms;
    if (!NT_SUCCESS(status = Plug()))
        return Failed("adding the device", status);
    const RigOptions sensor;
    const bool sized = options_.width != sensor.width || options_.height != sensor.height;
    // The built-in driver's own routine sizes the capture before start; an image's routines are
    // out of reach, so there the client's property request does it once the filter is open.
    const bool image = !DriverImage().empty();
    if (sized && !image && !SetImageSize(context(), 0, 0, options_.width, options_.height))
        return Failed("the capture size", STATUS_INVALID_PARAMETER);
    if (sized && image && options_.level < RigLevel::kFilter)
        return Failed("the capture size under the image without a filter", STATUS_NOT_SUPPORTED);
    if (options_.level == RigLevel::kUsb)
        return true;
    if (!NT_SUCCESS(status = Start()))
        return Failed("starting the device", status);
    if (options_.level == RigLevel::kStarted)
        return true;
    if (!NT_SUCCESS(status = OpenFilter()))
        return Failed("opening the filter", status);
    if (sized && image && !NT_SUCCESS(status = SetCaptureSize()))
        return Failed("the capture size", status);
    if (options_.level == RigLevel::kFilter)
        return true;
    if ((pin_ = PausedPin(DefaultFormat(), options_.buffers)) == nullptr)
        return false;
    if (!NT_SUCCESS(status = Run(pin_)))
        return Failed("running the pin", status);
    return true;
}

bool Rig::Failed(const std::string& step, NTSTATUS status) {
    ReportFailure("rig: " + step + " failed with " + StatusText(status));
    return false;
}

Rig::~Rig() {
    CloseFilter();
    for (client::StreamBuffer* buffer : buffers_)
        client::FreeStreamBuffer(buffer);
    if (device_ != nullptr)
        Unplug();
    while (!further_devices_.empty())
        RemoveDevice(further_devices_.back());
    if (driver_loaded_) {
        DriverGlobal(frame_timeout_ms, "frame_timeout_ms") = saved_timeout_;
        if (size_t leaked = platform::ks::UnloadDriver(); leaked != 0)
            ReportFailure("rig: " + std::to_string(leaked) + " blocks left at the driver's unload");
    }
    if (port_ != nullptr)
        platform::UsbBusUnplug(port_);
    platform::registry::SetStoreFile("");
}

CameraContext* Rig::context() const {
    return CameraOfDevice(device_);
}

NTSTATUS Rig::ConfigureUsb() {
    usb_configured_ = true;
    return StartUsbDevice(&context()->usb);
}

NTSTATUS Rig::Start() {
    return platform::ks::StartDevice(device_);
}

void Rig::Stop() {
    platform::ks::StopDevice(device_);
}

NTSTATUS Rig::OpenFilter() {
    return client::OpenFilter(device_, kReference, &filter_);
}

NTSTATUS Rig::SetCaptureSize() {
    return SetImageSize(filter_, options_.width, options_.height);
}

// Closing the filter closes its pins.
NTSTATUS Rig::CloseFilter() {
    if (filter_ == nullptr)
        return STATUS_SUCCESS;
    pin_ = nullptr;
    return client::CloseFilter(std::exchange(filter_, nullptr));
}

NTSTATUS Rig::Plug() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    device_ = platform::ks::CreateDevice(port_, &status);
    return status;
}

// A device goes as the system takes it away: stopped first when started. A USB configuration
// ConfigureUsb made without a start is released as a stop would.
void Rig::Unplug() {
    CloseFilter();
    if (device_->Started)
        Stop();
    if (std::exchange(usb_configured_, false))
        StopUsbDevice(&context()->usb);
    Remove(device_);
    device_ = nullptr;
}

NTSTATUS Rig::Replug() {
    Unplug();
    return Plug();
}

PKSDEVICE Rig::AddDevice() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PKSDEVICE device = platform::ks::CreateDevice(nullptr, &status);
    if (device == nullptr)
        Failed("adding a further device", status);
    else
        further_devices_.push_back(device);
    return device;
}

void Rig::RemoveDevice(PKSDEVICE device) {
    std::erase(further_devices_, device);
    Remove(device);
}

void Rig::Remove(PKSDEVICE device) {
    if (size_t leaked = platform::ks::RemoveDevice(device); leaked != 0)
        ReportFailure("rig: " + std::to_string(leaked) + " blocks left at the device's removal");
}

}  // namespace camtest
