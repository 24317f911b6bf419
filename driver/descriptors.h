// The static descriptors through which the class driver sees the device and its filter; the capture
// pin's own descriptor and data range are in capture_pin.h.
#pragma once

#include "driver/capture_pin.h"
#include "platform/ddk.h"

inline constexpr LONG kNominalFrameRate = 30;

extern const KSDEVICE_DESCRIPTOR kDeviceDescriptor;
extern const KSFILTER_DESCRIPTOR kFilterDescriptor;
