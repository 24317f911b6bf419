// Shared by the scalar and vector conversions: which colour each tile position carries, and the
// per-pixel interpolation of the plain path.
#pragma once

#include "imaging/conversion.h"

enum class Site : int {
    kGreenRed,   // green, red to its left and right
    kGreenBlue,  // green, blue to its left and right
    kRed,
    kBlue,
};

// [phase][row parity][column parity]
inline constexpr Site kPhaseSites[4][2][2] = {
    {{Site::kGreenRed, Site::kRed}, {Site::kBlue, Site::kGreenBlue}},
    {{Site::kBlue, Site::kGreenBlue}, {Site::kGreenRed, Site::kRed}},
    {{Site::kRed, Site::kGreenRed}, {Site::kGreenBlue, Site::kBlue}},
    {{Site::kGreenBlue, Site::kBlue}, {Site::kRed, Site::kGreenRed}},
};

struct Rgb {
    LONG red;
    LONG green;
    LONG blue;
};

inline LONG KernelValue(LONG sum, LONG rounding, int shift) {
    if (sum < 0)
        sum = 0;
    LONG value = (sum + rounding) >> shift;
    return value > 255 ? 255 : value;
}

// p points at the pixel; s(dx, dy) = p[dy * stride + dx].
inline Rgb InterpolatePixel(const UCHAR* p, LONG stride, Site site) {
    auto s = [p, stride](LONG dx, LONG dy) { return (LONG)p[dy * stride + dx]; };
    const LONG centre = s(0, 0);
    auto kg = [&] {
        return KernelValue(4 * centre + 2 * (s(-1, 0) + s(1, 0) + s(0, -1) + s(0, 1)) -
                               (s(-2, 0) + s(2, 0) + s(0, -2) + s(0, 2)),
                           4, 3);
    };
    auto kd = [&] {
        return KernelValue(12 * centre + 4 * (s(-1, -1) + s(1, -1) + s(-1, 1) + s(1, 1)) -
                               3 * (s(-2, 0) + s(2, 0) + s(0, -2) + s(0, 2)),
                           8, 4);
    };
    auto diagonals = [&] { return s(-1, -1) + s(1, -1) + s(-1, 1) + s(1, 1); };
    auto kh = [&] {
        return KernelValue(10 * centre + 8 * (s(-1, 0) + s(1, 0)) + (s(0, -2) + s(0, 2)) -
                               2 * (diagonals() + s(-2, 0) + s(2, 0)),
                           8, 4);
    };
    auto kv = [&] {
        return KernelValue(10 * centre + 8 * (s(0, -1) + s(0, 1)) + (s(-2, 0) + s(2, 0)) -
                               2 * (diagonals() + s(0, -2) + s(0, 2)),
                           8, 4);
    };
    switch (site) {
        case Site::kRed:
            return {centre, kg(), kd()};
        case Site::kBlue:
            return {kd(), kg(), centre};
        case Site::kGreenRed:
            return {kh(), centre, kv()};
        case Site::kGreenBlue:
            break;
    }
    return {kv(), centre, kh()};
}

inline LONG ApplyGain(LONG value, ULONG factor) {
    ULONG scaled = ((ULONG)value * factor) >> 7;
    return scaled > 255 ? 255 : (LONG)scaled;
}

// The 16-bit magnitude of a matrix entry.
inline ULONG EntryMagnitude(LONG entry) {
    ULONG magnitude = entry < 0 ? 0u - (ULONG)entry : (ULONG)entry;
    return magnitude & 0xFFFF;
}
