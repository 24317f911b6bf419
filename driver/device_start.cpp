// Device start and stop.
#include "driver/camera_context_ops.h"
#include "driver/descriptors.h"
#include "driver/device_callbacks.h"

namespace {

WCHAR kFilterReference[] = L"GLOBAL";

}  // namespace

NTSTATUS CameraDeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                           PCM_RESOURCE_LIST untranslated) {
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(translated);
    UNREFERENCED_PARAMETER(untranslated);
    if (!device->Started) {
        KsAcquireDevice(device);
        // A failed registration is not reported: the device then simply offers no filter.
        KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor,
                              kFilterReference, nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr,
                              nullptr, nullptr);
        KsReleaseDevice(device);
    }
    return STATUS_SUCCESS;
}
