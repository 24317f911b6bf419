// Operations on the camera context that belong to the context itself.
#pragma once

#include "driver/camera_context.h"

// Puts every setting, the geometry and the advertised format at their defaults.
NTSTATUS SetCameraDefaults(CameraContext* camera);

// Frame source slot 0: asks the pin that holds the camera to process the frame the worker counted.
VOID NotifyFrameReady(CameraContext* camera);

// The camera context of a device (its Context field).
inline CameraContext* CameraOfDevice(PKSDEVICE device) {
    return device != nullptr ? static_cast<CameraContext*>(device->Context) : nullptr;
}

extern const FrameSource kFrameSource;
