// The frame source the camera context offers the capture worker.
#include "camera/capture_setup.h"
#include "camera/frame_read.h"
#include "driver/camera_context_ops.h"
#include "usb/usb_transport.h"

VOID NotifyFrameReady(CameraContext* camera) {
    InterlockedIncrement((volatile LONG*)&camera->frame_count);
    // The worker runs only while a pin holds the camera, so active_pin is set here.
    CapturePinContext* pin = camera->active_pin;
    pin->interface_table->RequestProcessing(pin);
}

const FrameSource kFrameSource = {
    NotifyFrameReady, StartCapture,   ReadRawFrame, GetRawFrameSize,
    GetRawDataOffset, GetRawRowPitch, StopCapture,
};
