// The sensor register program and the capture set-up that precedes streaming, with the raw frame
// layout it establishes.
#pragma once

#include "driver/camera_context.h"
#include "platform/ddk.h"

inline constexpr ULONG kRegisterProgramLength = 690;

// Sends the sensor register program the first two times in the life of a camera context; always
// true.
bool RunStartupSequence(CameraContext* camera);
// FrameSource slot 1: the program, the raw frame size items and the capture set-up commands. The
// processor and size arguments are not used: the context's own geometry decides.
VOID StartCapture(CameraContext* camera, FrameProcessor* processor, LONG width, LONG height);
bool FinishCaptureSetup(CameraContext* camera);
// FrameSource slots 3 to 5.
VOID GetRawFrameSize(CameraContext* camera, LONG* size);
VOID GetRawDataOffset(CameraContext* camera, LONG* offset);
VOID GetRawRowPitch(CameraContext* camera, LONG* pitch);

// The register program, write by write: the register and value of write index 0..689.
struct RegisterWrite {
    ULONG number;
    LONG value;
};
RegisterWrite RegisterProgramWrite(ULONG index);
