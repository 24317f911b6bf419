// Add: the camera context of a new device, with its defaults.
#include "camera/camera_parameters.h"
#include "camera/command_lock.h"
#include "control/settings_table.h"
#include "driver/camera_context_ops.h"
#include "driver/device_callbacks.h"
#include "driver/image_size.h"
#include "driver/pool_tags.h"

namespace {

VOID NTAPI FreeCameraContext(PVOID context) {
    if (context != nullptr)
        ExFreePoolWithTag(context, kCameraContextTag);
}

}  // namespace

NTSTATUS NTAPI CameraDeviceAdd(PKSDEVICE device) {
    auto* camera = static_cast<CameraContext*>(
        ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION),
                              sizeof(CameraContext), kCameraContextTag));
    if (camera == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    camera->worker = nullptr;
    camera->processor = nullptr;
    InterlockedExchange(&camera->pin_open, 0);
    camera->register_index = 0;
    camera->startup_sequence_count = 0;
    camera->frame_source = &kFrameSource;
    camera->ks_device = device;

    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, camera, FreeCameraContext);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        FreeCameraContext(camera);
        return status;
    }
    device->Context = camera;
    return SetCameraDefaults(camera);
}

NTSTATUS SetCameraDefaults(CameraContext* camera) {
    camera->bayer_phase_default = 0;
    UCHAR* usb_start = reinterpret_cast<UCHAR*>(&camera->usb);
    UCHAR* aec_end = reinterpret_cast<UCHAR*>(&camera->aec) + sizeof(camera->aec);
    RtlZeroMemory(usb_start, (SIZE_T)(aec_end - usb_start));
    RtlZeroMemory(camera->register_shadow, sizeof(camera->register_shadow));

    PKSDEVICE device = camera->ks_device;
    camera->usb.physical_device = device->PhysicalDeviceObject;
    camera->usb.lower_device = device->NextDeviceObject;
    camera->usb.functional_device = device->FunctionalDeviceObject;

    SetSettingsToAddDefaults(camera);
    camera->bayer_phase = camera->bayer_phase_default;

    InitializeGeometryLock(camera);
    SetImageSize(camera, 0, 0, kSensorWidth, kSensorHeight);

    KeInitializeSpinLock(&camera->transfer_lock);
    KeInitializeEvent(&camera->transfer_event, NotificationEvent, FALSE);
    InitializeCommandLock(camera);

    RtlZeroMemory(camera->request_buffer, sizeof(camera->request_buffer));
    RtlZeroMemory(camera->command_buffer, sizeof(camera->command_buffer));
    RtlZeroMemory(camera->frame_request_buffer, sizeof(camera->frame_request_buffer));
    return STATUS_SUCCESS;
}
