// The colour settings of the camera context: each setter clamps, stores and forwards to the
// FrameProcessor when one exists; each getter first refreshes from the FrameProcessor.
#pragma once

#include "driver/camera_context.h"
#include "imaging/frame_processor.h"

VOID SetColorEnable(CameraContext* camera, LONG value);
LONG GetColorEnable(CameraContext* camera);
VOID SetWhiteBalanceAuto(CameraContext* camera, LONG value);
LONG GetWhiteBalanceAuto(CameraContext* camera);
VOID SetRedGain(CameraContext* camera, LONG value);
LONG GetRedGain(CameraContext* camera);
VOID SetGreenGain(CameraContext* camera, LONG value);
LONG GetGreenGain(CameraContext* camera);
VOID SetBlueGain(CameraContext* camera, LONG value);
LONG GetBlueGain(CameraContext* camera);
VOID SetColorCorrection(CameraContext* camera, LONG value);
LONG GetColorCorrection(CameraContext* camera);
VOID SetBrightness(CameraContext* camera, LONG value);
LONG GetBrightness(CameraContext* camera);
VOID SetContrast(CameraContext* camera, LONG value);
LONG GetContrast(CameraContext* camera);
VOID SetSaturation(CameraContext* camera, LONG value);
LONG GetSaturation(CameraContext* camera);
VOID SetHue(CameraContext* camera, LONG value);
LONG GetHue(CameraContext* camera);

// Hands a new processor the camera's settings, in the order a claiming pin pushes them: white
// balance mode, Bayer phase, colour enable and gains as plain stores, then the tone settings,
// each rebuilding only when it differs from the processor's start value.
VOID PushColorSettings(CameraContext* camera, FrameProcessor* processor);
