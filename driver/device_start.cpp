// Device start and stop.
#include "camera/command_lock.h"
#include "control/settings_persistence.h"
#include "driver/camera_context_ops.h"
#include "driver/camera_init.h"
#include "driver/descriptors.h"
#include "driver/device_callbacks.h"
#include "usb/usb_transport.h"

namespace {

WCHAR kFilterReference[] = L"GLOBAL";

}  // namespace

NTSTATUS CameraDeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                           PCM_RESOURCE_LIST untranslated) {
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(translated);
    UNREFERENCED_PARAMETER(untranslated);
    CameraContext* camera = CameraOfDevice(device);
    if (!device->Started) {
        KsAcquireDevice(device);
        // A failed registration is not reported: the device then simply offers no filter.
        KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor, kFilterReference,
                              nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
        KsReleaseDevice(device);
    }
    // No command sequence may run while the pipes come and go.
    CommandSequence sequence(camera);
    NTSTATUS status = StartUsbDevice(&camera->usb);
    // The camera is brought up whatever the configuration reported; failures show in frame reads.
    InitializeCamera(camera);
    return status;
}

VOID CameraDeviceStop(PKSDEVICE device, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    CameraContext* camera = CameraOfDevice(device);
    CommandSequence sequence(camera);
    // Save failures are passed over: the device stops either way.
    SaveSettings(camera);
    StopUsbDevice(&camera->usb);
}
