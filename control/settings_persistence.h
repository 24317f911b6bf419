// The settings that survive the device: the values of the Settings key below the device's driver
// key, one REG_DWORD per entry of the settings table, named as its property. Each call opens and
// closes its keys and runs as one command sequence.
#pragma once

#include "driver/camera_context.h"

// Reads every value over its default and applies them through the setters, which clamp them. The
// time-out applies from 501 ms up, as the property set takes it; Clock, AGC and AEC are read and
// not applied. True when the keys opened and the values were applied; on false nothing changed.
bool LoadSettings(CameraContext* camera);
// Writes every value from the camera context as it stands, except those whose field holds neither
// the stored value nor a client's: a value the last load could not read or the camera refused.
// True when the keys opened; single write failures are passed over.
bool SaveSettings(CameraContext* camera);
