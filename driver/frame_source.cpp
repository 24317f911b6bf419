// The frame source the camera context offers the capture worker.
#include "driver/camera_context_ops.h"

VOID NotifyFrameReady(CameraContext* camera) {
    camera->frame_count += 1;
    // The worker runs only while a pin holds the camera, so active_pin is set here.
    CapturePinContext* pin = camera->active_pin;
    pin->interface_table->RequestProcessing(pin);
}

// Slots whose operations belong to subsystems not built yet stay empty.
const FrameSource kFrameSource = {
    NotifyFrameReady, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};
