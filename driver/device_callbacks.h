// The driver entry and the device callbacks of the device dispatch table.
#pragma once

#include "platform/ddk.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path);

// Add: creates the camera context of a new device with its defaults.
NTSTATUS CameraDeviceAdd(PKSDEVICE device);

// Start: registers the filter factory, creates the capture worker and brings the camera up.
NTSTATUS CameraDeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                           PCM_RESOURCE_LIST untranslated);
// Stop: tears the camera's USB configuration down.
VOID CameraDeviceStop(PKSDEVICE device, PIRP irp);
