// The driver the tests run: the built-in one, or, for the tests of the `image` label, the
// cross-built image that CAM_DRIVER_IMAGE names, loaded by the stand-in's loader. The records the
// two share (the camera context, the class driver's objects) have one layout by construction, so
// tests read them alike; the driver's code and globals are its own in each.
#pragma once

#include <cstdlib>
#include <string>

#include "driver/device_callbacks.h"
#include "platform/image_loader.h"
#include "platform/ks_host.h"
#include "tests/support/failure_report.h"

namespace camtest {

// The image's path, or empty for the built-in driver.
inline std::string DriverImage() {
    const char* path = std::getenv("CAM_DRIVER_IMAGE");
    return path != nullptr ? path : "";
}

// Loads the driver under test; a refused image is reported with the loader's message.
inline NTSTATUS LoadDriverUnderTest() {
    const std::string image = DriverImage();
    if (image.empty())
        return platform::ks::LoadDriver(DriverEntry);
    std::string message;
    const NTSTATUS status = platform::loader::LoadDriverImage(image, &message);
    if (!NT_SUCCESS(status))
        ReportFailure("loading " + image + ": " + message);
    return status;
}

// A global of the driver under test: the built-in driver's own, or the loaded image's copy of it
// by the name in the image's symbol table.
template <typename T>
T& DriverGlobal(T& built_in, const char* name) {
    if (DriverImage().empty())
        return built_in;
    const auto image = platform::loader::LoadedDriverImage();
    void* address = image != nullptr ? image->Symbol(name) : nullptr;
    if (address == nullptr) {
        ReportFailure(std::string("the driver image has no symbol ") + name);
        return built_in;
    }
    return *static_cast<T*>(address);
}

}  // namespace camtest
