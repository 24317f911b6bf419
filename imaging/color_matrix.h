// Colour-matrix arithmetic: 4 x 4 double matrices, row-major, applied to the row vector
// [R G B 1]; the builders of the five tone matrices; conversion to the 1/64 fixed point that the
// conversions read.
#pragma once

#include "platform/ddk.h"

typedef double ColorMatrix[16];

VOID SetIdentityMatrix(double* matrix);
// destination = b * a (a row vector meets b first, then a). destination may be a or b.
VOID MultiplyColorMatrix(double* destination, const double* a, const double* b);
// The first three components of [r g b 1] * matrix.
VOID TransformColorPoint(const double* matrix, double r, double g, double b, double* out_r,
                         double* out_g, double* out_b);

VOID BuildCorrectionMatrix(double* matrix, LONG on);
VOID BuildBrightnessMatrix(double* matrix, LONG value);
VOID BuildContrastMatrix(double* matrix, LONG value);
VOID BuildSaturationMatrix(double* matrix, LONG value);
VOID BuildHueMatrix(double* matrix, LONG degrees);

// Each element x 64, rounded half away from zero.
VOID ToFixedMatrix(const double* matrix, LONG* fixed);
