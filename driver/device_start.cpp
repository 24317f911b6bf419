// Device start and stop.
#include "camera/command_lock.h"
#include "control/settings_persistence.h"
#include "driver/camera_context_ops.h"
#include "driver/camera_init.h"
#include "driver/capture_worker.h"
#include "driver/descriptors.h"
#include "driver/device_callbacks.h"
#include "usb/usb_transport.h"

namespace {

WCHAR kFilterReference[] = u"GLOBAL";

}  // namespace

NTSTATUS NTAPI CameraDeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                                 PCM_RESOURCE_LIST untranslated) {
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(translated);
    UNREFERENCED_PARAMETER(untranslated);
    CameraContext* camera = CameraOfDevice(device);
    NTSTATUS factory = STATUS_UNSUCCESSFUL;
    if (!device->Started) {
        KsAcquireDevice(device);
        // A failed registration is not reported: the device then simply offers no filter.
        factory = KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor,
                                        kFilterReference, nullptr, KSCREATE_ITEM_FREEONSTOP,
                                        nullptr, nullptr, nullptr);
        KsReleaseDevice(device);
    }
    // The first start makes the device's worker; a later one keeps it, since a pin may still hold
    // it streaming or paused across the stop, and that pin's state changes must reach it. Without
    // a worker a pin's RUN fails.
    if (NT_SUCCESS(factory) && camera->worker == nullptr) {
        CaptureWorker* worker = CreateCaptureWorker(camera);
        if (worker != nullptr &&
            !NT_SUCCESS(KsAddItemToObjectBag(device->Bag, worker, FreeCaptureWorker))) {
            FreeCaptureWorker(worker);
            worker = nullptr;
        }
        camera->worker = worker;
    }
    // No command sequence may run while the pipes come and go.
    CommandSequence sequence(camera);
    NTSTATUS status = StartUsbDevice(&camera->usb);
    // The camera is brought up whatever the configuration reported; failures show in frame reads.
    InitializeCamera(camera);
    // A failed start is followed by a removal, never a stop: what the start configured goes now.
    if (!NT_SUCCESS(status))
        StopUsbDevice(&camera->usb);
    return status;
}

VOID NTAPI CameraDeviceStop(PKSDEVICE device, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    CameraContext* camera = CameraOfDevice(device);
    CommandSequence sequence(camera);
    // Save failures are passed over: the device stops either way.
    SaveSettings(camera);
    StopUsbDevice(&camera->usb);
}
