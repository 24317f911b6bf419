// Driver load and unload, and the driver's hand-over of its device descriptor.
#include <string>

#include "../io/unload_safe_completion.h"
#include "../kernel/kernel_thread.h"
#include "ks_objects.h"
#include "platform/ks_host.h"
#include "platform/verifier.h"

namespace platform::ks::internal {
namespace {

struct DriverState {
    DRIVER_OBJECT driver_object{};
    const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
    bool loaded = false;
    uint64_t load_mark = 0;
    std::shared_ptr<const void> image;
};

DriverState& TheDriver() {
    static DriverState state;
    return state;
}

WCHAR kRegistryPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\camdrv";

}  // namespace

const KSDEVICE_DESCRIPTOR* LoadedDescriptor() {
    DriverState& driver = TheDriver();
    return driver.loaded ? driver.descriptor : nullptr;
}

PDRIVER_OBJECT LoadedDriverObject() {
    return &TheDriver().driver_object;
}

}  // namespace platform::ks::internal

namespace platform::ks {

NTSTATUS LoadDriver(PDRIVER_INITIALIZE driver_entry, std::shared_ptr<const void> image) {
    internal::DriverState& driver = internal::TheDriver();
    if (driver.loaded) {
        verifier::Violation("LoadDriver: a driver is already loaded");
        return STATUS_UNSUCCESSFUL;
    }
    driver = internal::DriverState{};
    driver.loaded = true;
    driver.image = std::move(image);
    kernel::UseImageKernelStack(driver.image != nullptr);
    driver.load_mark = verifier::AllocationMark();
    driver.driver_object.Type = 4;
    driver.driver_object.Size = sizeof(DRIVER_OBJECT);
    UNICODE_STRING path;
    path.Buffer = internal::kRegistryPath;
    path.Length =
        (USHORT)(std::char_traits<WCHAR>::length(internal::kRegistryPath) * sizeof(WCHAR));
    path.MaximumLength = (USHORT)(path.Length + sizeof(WCHAR));
    NTSTATUS status = driver_entry(&driver.driver_object, &path);
    if (!NT_SUCCESS(status)) {
        driver.loaded = false;
        driver.image.reset();
    }
    return status;
}

size_t UnloadDriver() {
    internal::DriverState& driver = internal::TheDriver();
    if (!driver.loaded) {
        verifier::Violation("UnloadDriver: no driver is loaded");
        return 0;
    }
    if (internal::AnyDevice())
        verifier::Violation("UnloadDriver: devices still exist");
    if (driver.driver_object.DriverUnload != nullptr)
        driver.driver_object.DriverUnload(&driver.driver_object);
    io::AwaitUnloadSafeCompletions();
    driver.loaded = false;
    driver.descriptor = nullptr;
    driver.image.reset();
    kernel::UseImageKernelStack(false);
    return verifier::ReportLeaks(driver.load_mark, "driver unloaded");
}

}  // namespace platform::ks

NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT driver_object, PUNICODE_STRING,
                                  const KSDEVICE_DESCRIPTOR* descriptor) {
    platform::ks::internal::DriverState& driver = platform::ks::internal::TheDriver();
    if (driver_object != &driver.driver_object || descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    driver.descriptor = descriptor;
    return STATUS_SUCCESS;
}
