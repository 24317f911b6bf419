// Colour-matrix arithmetic. The single-precision steps are deliberate: they fix the last bits of
// the published matrix.
#include "imaging/color_matrix.h"

#include "imaging/sine_cosine.h"

namespace {

// Luminance weights of saturation and hue.
constexpr double kWeightRed = 0.3086f;
constexpr double kWeightGreen = 0.6094f;
constexpr double kWeightBlue = 0.0820f;

// Appends step to matrix: matrix := matrix * step.
VOID Append(double* matrix, const double* step) {
    MultiplyColorMatrix(matrix, step, matrix);
}

VOID AppendRotationRed(double* matrix, double s, double c) {
    ColorMatrix step;
    SetIdentityMatrix(step);
    step[5] = c;
    step[6] = s;
    step[9] = -s;
    step[10] = c;
    Append(matrix, step);
}

VOID AppendRotationGreen(double* matrix, double s, double c) {
    ColorMatrix step;
    SetIdentityMatrix(step);
    step[0] = c;
    step[2] = -s;
    step[8] = s;
    step[10] = c;
    Append(matrix, step);
}

VOID AppendRotationBlue(double* matrix, double s, double c) {
    ColorMatrix step;
    SetIdentityMatrix(step);
    step[0] = c;
    step[1] = s;
    step[4] = -s;
    step[5] = c;
    Append(matrix, step);
}

VOID AppendShearBlue(double* matrix, double dx, double dy) {
    ColorMatrix step;
    SetIdentityMatrix(step);
    step[2] = dx;
    step[6] = dy;
    Append(matrix, step);
}

double ToneFactor(LONG value) {
    if (value > 20)
        value = 20;
    return (float)(value - 10) * 0.1f + 1.0f;
}

}  // namespace

VOID SetIdentityMatrix(double* matrix) {
    for (int k = 0; k < 16; ++k)
        matrix[k] = (k % 5 == 0) ? 1.0 : 0.0;
}

VOID MultiplyColorMatrix(double* destination, const double* a, const double* b) {
    ColorMatrix product;
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            double sum = 0;
            for (int k = 0; k < 4; ++k)
                sum += b[4 * y + k] * a[4 * k + x];
            product[4 * y + x] = sum;
        }
    }
    for (int k = 0; k < 16; ++k)
        destination[k] = product[k];
}

VOID TransformColorPoint(const double* m, double r, double g, double b, double* out_r,
                         double* out_g, double* out_b) {
    *out_r = r * m[0] + g * m[4] + b * m[8] + m[12];
    *out_g = r * m[1] + g * m[5] + b * m[9] + m[13];
    *out_b = r * m[2] + g * m[6] + b * m[10] + m[14];
}

VOID BuildCorrectionMatrix(double* matrix, LONG on) {
    SetIdentityMatrix(matrix);
    if (on == 0)
        return;
    const float coefficients[9] = {1.36f,  -0.25f, -0.10f, -0.22f, 1.40f,
                                   -0.32f, -0.14f, -0.15f, 1.42f};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            matrix[4 * i + j] = coefficients[3 * i + j];
    }
}

VOID BuildBrightnessMatrix(double* matrix, LONG value) {
    SetIdentityMatrix(matrix);
    ColorMatrix step;
    SetIdentityMatrix(step);
    const double offset = (double)((value < 510 ? value : 510) - 255);
    step[12] = offset;
    step[13] = offset;
    step[14] = offset;
    Append(matrix, step);
}

VOID BuildContrastMatrix(double* matrix, LONG value) {
    SetIdentityMatrix(matrix);
    const double s = ToneFactor(value);
    const double t = 128 - 128 * s;
    for (int k = 0; k < 3; ++k) {
        matrix[5 * k] = s;
        matrix[12 + k] = t;
    }
}

VOID BuildSaturationMatrix(double* matrix, LONG value) {
    SetIdentityMatrix(matrix);
    const double s = ToneFactor(value);
    const double c = 1 - s;
    const double weights[3] = {kWeightRed, kWeightGreen, kWeightBlue};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            matrix[4 * i + j] = c * weights[i] + (i == j ? s : 0.0);
    }
}

VOID BuildHueMatrix(double* matrix, LONG degrees) {
    SetIdentityMatrix(matrix);
    const double m2 = __builtin_sqrtf(2.0f);
    AppendRotationRed(matrix, 1 / m2, 1 / m2);
    const double m3 = __builtin_sqrtf(3.0f);
    AppendRotationGreen(matrix, -1 / m3, m2 / m3);
    double lx;
    double ly;
    double lz;
    TransformColorPoint(matrix, kWeightRed, kWeightGreen, kWeightBlue, &lx, &ly, &lz);
    const double zx = lx / lz;
    const double zy = ly / lz;
    AppendShearBlue(matrix, zx, zy);
    const float angle = (float)degrees * 3.1415927f / 180.0f;
    float sine;
    float cosine;
    SineCosine(angle, &sine, &cosine);
    AppendRotationBlue(matrix, sine, cosine);
    AppendShearBlue(matrix, -zx, -zy);
    AppendRotationGreen(matrix, 1 / m3, m2 / m3);
    AppendRotationRed(matrix, -1 / m2, 1 / m2);
}

VOID ToFixedMatrix(const double* matrix, LONG* fixed) {
    for (int k = 0; k < 16; ++k) {
        double x = matrix[k] * 64.0;
        x = x >= 0 ? x + 0.5 : x - 0.5;
        fixed[k] = (LONG)x;
    }
}
