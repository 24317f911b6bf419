#include "tools/camctl/session.h"

#include <cstdio>
#include <cstdlib>

#include "driver/device_callbacks.h"
#include "platform/ks_host.h"
#include "platform/usb_bus.h"

namespace camctl {

std::string StatusText(NTSTATUS status) {
    struct Name {
        NTSTATUS status;
        const char* name;
    };
    static const Name kNames[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
        {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
    };
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", (unsigned)status);
    for (const Name& name : kNames) {
        if (name.status == status)
            return std::string(hex) + " (" + name.name + ")";
    }
    return hex;
}

namespace {

// "chart" (the default), "flat" or "flat:LEVEL", or a PNG file.
bool ApplyScene(const std::string& scene, sim::SimCamera* camera, std::string* error) {
    if (scene.empty() || scene == "chart")
        return true;
    if (scene == "flat" || scene.rfind("flat:", 0) == 0) {
        int level = 128;
        if (scene.size() > 5) {
            char* end = nullptr;
            long parsed = std::strtol(scene.c_str() + 5, &end, 10);
            if (*end != '\0' || parsed < 0 || parsed > 255) {
                *error = "scene '" + scene + "': the flat level must be 0..255";
                return false;
            }
            level = (int)parsed;
        }
        camera->SetSceneFlat((uint8_t)level);
        return true;
    }
    std::string why;
    if (!camera->SetScenePng(scene, sim::PngFit::kScale, &why)) {
        *error = "scene '" + scene + "': " + why;
        return false;
    }
    return true;
}

}  // namespace

Session::Session(const CommonOptions& options) : camera_(std::make_unique<sim::SimCamera>()) {
    if (!ApplyScene(options.scene, camera_.get(), &error_))
        return;
    port_ = platform::UsbBusPlugIn(camera_.get());
    if (!options.usb_trace.empty() && !platform::UsbBusSetTrace(port_, options.usb_trace)) {
        error_ = "cannot write the USB trace '" + options.usb_trace + "'";
        return;
    }
    NTSTATUS status = platform::ks::LoadDriver(DriverEntry);
    if (!NT_SUCCESS(status)) {
        error_ = "the driver failed to load: " + StatusText(status);
        return;
    }
    driver_loaded_ = true;
    device_ = platform::ks::CreateDevice(port_, &status);
    if (device_ == nullptr) {
        error_ = "the device could not be added: " + StatusText(status);
        return;
    }
    start_status_ = platform::ks::StartDevice(device_);
}

Session::~Session() {
    if (device_ != nullptr) {
        platform::ks::StopDevice(device_);
        platform::ks::RemoveDevice(device_);
    }
    if (driver_loaded_)
        platform::ks::UnloadDriver();
    if (port_ != nullptr)
        platform::UsbBusUnplug(port_);
}

}  // namespace camctl
