// Bringing the camera up: at device start and when a client asks for a re-initialisation.
#pragma once

#include "driver/camera_context.h"

// Wakes the camera with the initialise packet, runs the sensor register program (sent only the
// first two times in a context's life) and applies the persisted settings, as one command sequence.
// Reports nothing: a camera that does not take the commands shows up later as failing frame reads.
// Always true.
bool InitializeCamera(CameraContext* camera);
