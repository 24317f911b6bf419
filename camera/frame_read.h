// The frame read as the camera's protocol frames it: the USB transport moves the frame, the packets
// around it come from here.
#pragma once

#include "driver/camera_context.h"
#include "usb/usb_transport.h"

// The frame request and the stream-control packets of every frame read.
extern const FramePackets kFramePackets;

// FrameSource slot 2: one raw frame of raw_frame_size bytes into buffer, which lies in non-paged
// memory. The result and *ok (when given) are true when the whole frame arrived in time.
bool ReadRawFrame(CameraContext* camera, PUCHAR buffer, bool* ok);
