// The capture geometry and the advertised format that follows it, and the capture pins that keep
// the geometry fixed while they exist.
#pragma once

#include "driver/camera_context.h"

VOID InitializeGeometryLock(CameraContext* camera);

// Whether the sensor can deliver frames of this size: width 8..1600 (narrower would deliver no
// pixels, as the delivered width is the width rounded down to a multiple of 8) and height 1..1200.
bool IsCaptureSizeSupported(LONG width, LONG height);

// Sets the capture geometry (x and y are accepted and not used) and rewrites the advertised data
// range. Changes nothing, and returns false, while a capture pin exists or when the size is not
// supported.
bool SetImageSize(CameraContext* camera, LONG x, LONG y, LONG width, LONG height);

// A capture pin comes into being or goes away. Pins are counted, since each filter instance may
// have one: the geometry stays fixed until the last of them is gone.
VOID CountCapturePin(CameraContext* camera);
VOID UncountCapturePin(CameraContext* camera);
