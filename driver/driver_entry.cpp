#include "driver/descriptors.h"
#include "driver/device_callbacks.h"

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
    return KsInitializeDriver(driver_object, registry_path, &kDeviceDescriptor);
}
