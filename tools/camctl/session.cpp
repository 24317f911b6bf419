#include "tools/camctl/session.h"

#include <cstdio>

#include "driver/device_callbacks.h"
#include "platform/ks_host.h"

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
        if (name.status == status) return std::string(hex) + " (" + name.name + ")";
    }
    return hex;
}

Session::Session(const CommonOptions& options) {
    (void)options;
    NTSTATUS status = platform::ks::LoadDriver(DriverEntry);
    if (!NT_SUCCESS(status)) {
        error_ = "the driver failed to load: " + StatusText(status);
        return;
    }
    driver_loaded_ = true;
    device_ = platform::ks::CreateDevice(nullptr, &status);
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
    if (driver_loaded_) platform::ks::UnloadDriver();
}

}  // namespace camctl
