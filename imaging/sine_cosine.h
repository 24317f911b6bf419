// Single-precision sine and cosine for the hue rotation. The kernel offers no C library, and x64
// kernel code may not use the x87 unit that the cross compiler's library computes them with, so
// the driver carries its own, in SSE arithmetic only.
#pragma once

#include "platform/ddk.h"

// The float nearest to sin(angle) and cos(angle), for angles of a few turns either way (radians).
VOID SineCosine(float angle, float* sine, float* cosine);
