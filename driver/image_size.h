// The capture geometry and the advertised format that follows it.
#pragma once

#include "driver/camera_context.h"

// Sets the capture geometry (x and y are accepted and not used) and rewrites the advertised data
// range. Changes nothing, and returns false, while a capture pin exists or when the size is one the
// sensor cannot deliver: width 8..1600 (narrower would deliver no pixels, as the delivered width is
// the width rounded down to a multiple of 8) and height 1..1200.
bool SetImageSize(CameraContext* camera, LONG x, LONG y, LONG width, LONG height);
