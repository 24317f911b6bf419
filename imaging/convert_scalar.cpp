// The plain per-pixel conversions.
#include "imaging/bayer_sites.h"

namespace {

LONG MatrixOutput(const LONG* matrix, const bool* positive, const Rgb& in, int j) {
    const ULONG terms[4] = {
        (ULONG)in.red * EntryMagnitude(matrix[j]), (ULONG)in.green * EntryMagnitude(matrix[4 + j]),
        (ULONG)in.blue * EntryMagnitude(matrix[8 + j]), EntryMagnitude(matrix[12 + j])};
    ULONG plus = 0;
    ULONG minus = 0;
    for (int i = 0; i < 4; ++i) {
        if (positive[4 * i + j]) {
            plus += terms[i];
        } else {
            minus += terms[i];
        }
    }
    plus >>= 6;
    minus >>= 6;
    if (plus <= minus)
        return 0;
    return plus - minus > 255 ? 255 : (LONG)(plus - minus);
}

template <typename PixelFunction>
VOID ForEachPixel(const ConversionParams* params, LONG phase, PixelFunction pixel) {
    const auto& sites = kPhaseSites[NormalizeBayerPhase(phase)];
    for (LONG y = 0; y < params->height; ++y) {
        const UCHAR* row = params->origin + (LONG_PTR)y * params->stride;
        for (LONG x = 0; x < params->width; ++x) {
            pixel(y, x, InterpolatePixel(row + x, params->stride, sites[y & 1][x & 1]));
        }
    }
}

// Each pixel the destination takes, to its place there.
template <typename PixelFunction>
VOID ForEachStoredPixel(const ConversionParams* params, LONG phase,
                        const ImageDestination& destination, PixelFunction pixel) {
    const auto& sites = kPhaseSites[NormalizeBayerPhase(phase)];
    for (LONG y = 0; y < destination.height; ++y) {
        const UCHAR* row = params->origin + (LONG_PTR)y * params->stride;
        auto* out = (ULONG*)((PUCHAR)destination.first_row + y * destination.row_step);
        for (LONG x = 0; x < destination.width; ++x) {
            const ULONG value =
                pixel(InterpolatePixel(row + x, params->stride, sites[y & 1][x & 1]));
            out[destination.mirrored ? destination.width - 1 - x : x] = value;
        }
    }
}

Rgb Gained(const ConversionParams* params, const Rgb& rgb) {
    return {ApplyGain(rgb.red, GainFactor(params->frame_red_gain)),
            ApplyGain(rgb.green, GainFactor(params->frame_green_gain)),
            ApplyGain(rgb.blue, GainFactor(params->frame_blue_gain))};
}

}  // namespace

VOID ConvertBayerToBgrxScalar(const ConversionParams* params, const bool* matrix_positive,
                              LONG phase, const ImageDestination* destination) {
    ForEachStoredPixel(params, phase, *destination, [&](const Rgb& rgb) {
        const Rgb in = Gained(params, rgb);
        const ULONG red = (ULONG)MatrixOutput(params->matrix, matrix_positive, in, 0);
        const ULONG green = (ULONG)MatrixOutput(params->matrix, matrix_positive, in, 1);
        const ULONG blue = (ULONG)MatrixOutput(params->matrix, matrix_positive, in, 2);
        return 0xFF000000u | red << 16 | green << 8 | blue;
    });
}

VOID ConvertBayerToGreyScalar(const ConversionParams* params, LONG phase,
                              const ImageDestination* destination) {
    ForEachStoredPixel(params, phase, *destination, [&](const Rgb& rgb) {
        const Rgb in = Gained(params, rgb);
        const ULONG grey = (ULONG)((in.red * 77) >> 8) + (ULONG)((in.green * 150) >> 8) +
                           (ULONG)((in.blue * 29) >> 8);
        return 0xFF000000u | grey * 0x010101u;
    });
}

VOID SumChannelsScalar(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    ChannelTotals sums = {0, 0, 0};
    ForEachPixel(params, phase, [&](LONG, LONG, const Rgb& rgb) {
        sums.red += (ULONG)rgb.red;
        sums.green += (ULONG)rgb.green;
        sums.blue += (ULONG)rgb.blue;
    });
    *totals = sums;
}

bool ComputeWhiteBalanceGains(const ChannelTotals* totals, LONG* red_out, LONG* green_out,
                              LONG* blue_out) {
    if (totals->red == 0 || totals->green == 0 || totals->blue == 0)
        return false;
    const double rs = totals->red;
    const double gs = totals->green;
    const double bs = totals->blue;
    const double total = (gs + rs) + bs;
    const double a = total / gs / 3;
    const double red = (total / rs / 3) * 128 / a;
    const double blue = (total / bs / 3) * 128 / a;
    // A one-sample channel total can put the ratio beyond the integer range; the conversions
    // saturate such a gain anyway.
    auto to_gain = [](double gain) { return gain >= 2147483647.0 ? 0x7FFFFFFF : (LONG)gain; };
    *red_out = to_gain(red);
    *green_out = 128;
    *blue_out = to_gain(blue);
    return true;
}

VOID MeasureWhiteBalance(const ConversionParams* params, LONG phase, LONG* red_out, LONG* green_out,
                         LONG* blue_out) {
    ChannelTotals totals;
    SumChannels(params, phase, &totals);
    ComputeWhiteBalanceGains(&totals, red_out, green_out, blue_out);
}

#if !defined(__SSE2__)
ULONG SetVectorWidthLimit(ULONG) {
    return 0;
}
VOID ConvertBayerToBgrx(const ConversionParams* params, const bool* matrix_positive, LONG phase,
                        const ImageDestination* destination) {
    ConvertBayerToBgrxScalar(params, matrix_positive, phase, destination);
}
VOID ConvertBayerToGrey(const ConversionParams* params, LONG phase,
                        const ImageDestination* destination) {
    ConvertBayerToGreyScalar(params, phase, destination);
}
VOID SumChannels(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    SumChannelsScalar(params, phase, totals);
}
#endif
