// The driver entry and the device callbacks of the device dispatch table.
#pragma once

#include "platform/ddk.h"

// The system's loader finds the entry point by its plain name.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path);

// Add: creates the camera context of a new device with its defaults.
NTSTATUS NTAPI CameraDeviceAdd(PKSDEVICE device);

// Start: registers the filter factory, creates the capture worker, brings the camera's USB device
// up and initialises the camera with its persisted settings.
NTSTATUS NTAPI CameraDeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                                 PCM_RESOURCE_LIST untranslated);
// Stop: saves the settings, then tears the camera's USB configuration down.
VOID NTAPI CameraDeviceStop(PKSDEVICE device, PIRP irp);
