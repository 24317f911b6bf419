// The conversion kernels: the bordered work buffer, the Bayer conversions to 32-bit colour and
// grey, and the white-balance measurement. Nothing here needs more than the platform header, so
// tools and benchmarks can use the kernels without the rest of the driver.
#pragma once

#include "platform/ddk.h"

// The per-frame inputs of every conversion routine.
struct ConversionParams {
    PUCHAR origin;  // image pixel (0, 0) inside the work buffer
    ULONG* output;  // rows of width pixels, back to back, top row first
    LONG stride;
    LONG frame_red_gain;  // 128 = x1.0
    LONG frame_green_gain;
    LONG frame_blue_gain;
    LONG width;
    LONG height;
    LONG matrix[16];  // 1/64 units; entry 4 * input + output
};

// Where a conversion stores its image: `width` pixels of each of `height` rows (no more than the
// conversion's own), row 0 at first_row and each next row row_step bytes on (negative: the rows go
// up in memory), right to left when mirrored. With streaming set, rows whose blocks fall on 64-byte
// boundaries are stored past the caches: for an image nobody reads again soon, such as a client's
// buffer, that saves reading each line in before it is written.
struct ImageDestination {
    ULONG* first_row;
    LONG_PTR row_step;
    LONG width;
    LONG height;
    bool mirrored;
    bool streaming;
};

// The conversion half of the per-pin processing record: the parameters, the work buffer and its
// geometry, and the per-frame sign flags of the matrix.
struct ConversionState {
    ConversionParams params;
    ULONG conversion_width;
    ULONG conversion_height;
    ULONG work_stride;
    ULONG work_size;
    ULONG* output_buffer;
    PUCHAR work_buffer;
    volatile LONG bayer_phase;
    bool matrix_positive[16];
};

// Bytes before column 0 of each work-buffer row.
inline constexpr ULONG kWorkLeftMargin = 5;

VOID SetConversionGeometry(ConversionState* state, ULONG width, ULONG height);
VOID AllocateWorkBuffer(ConversionState* state);
VOID FreeWorkBuffer(ConversionState* state);
VOID LoadWorkBuffer(ConversionState* state, const UCHAR* raw, ULONG offset, ULONG pitch);

// Bayer phase of pixel (0, 0): 0 GRBG, 1 BGGR, 2 RGGB, anything else GBRG.
inline LONG NormalizeBayerPhase(LONG phase) {
    return phase >= 0 && phase <= 2 ? phase : 3;
}

// The 16-bit factor a conversion applies for a gain: its low 16 bits, except that a gain beyond
// the factor's range saturates rather than wrapping to a small value.
inline ULONG GainFactor(LONG gain) {
    return gain > 0xFFFF ? 0xFFFF : (ULONG)gain & 0xFFFF;
}

// params->output as a destination: rows of params->width pixels, back to back, top row first.
inline ImageDestination OutputOf(const ConversionParams* params) {
    return {params->output, (LONG_PTR)params->width * 4, params->width, params->height, false,
            false};
}

// The conversions, one variant per phase, chosen by phase. Each reads params and writes the
// destination, or params->output. The colour conversion also reads the sign flags of
// params->matrix.
VOID ConvertBayerToBgrx(const ConversionParams* params, const bool* matrix_positive, LONG phase,
                        const ImageDestination* destination);
VOID ConvertBayerToGrey(const ConversionParams* params, LONG phase,
                        const ImageDestination* destination);
inline VOID ConvertBayerToBgrx(const ConversionParams* params, const bool* matrix_positive,
                               LONG phase) {
    const ImageDestination output = OutputOf(params);
    ConvertBayerToBgrx(params, matrix_positive, phase, &output);
}
inline VOID ConvertBayerToGrey(const ConversionParams* params, LONG phase) {
    const ImageDestination output = OutputOf(params);
    ConvertBayerToGrey(params, phase, &output);
}
// Replaces the three gains with the grey-world gains of the frame; leaves them as they are when a
// channel total is 0, since such a frame has no finite result.
VOID MeasureWhiteBalance(const ConversionParams* params, LONG phase, LONG* red_out, LONG* green_out,
                         LONG* blue_out);

// Channel totals of the interpolated, ungained values over the image's own pixels.
struct ChannelTotals {
    ULONG red;
    ULONG green;
    ULONG blue;
};
VOID SumChannels(const ConversionParams* params, LONG phase, ChannelTotals* totals);
// Grey-world gains from totals; false when a total is 0 (then nothing is written).
bool ComputeWhiteBalanceGains(const ChannelTotals* totals, LONG* red_out, LONG* green_out,
                              LONG* blue_out);

// Caps the register width of the vector conversions at 128, 256 or 512 bits (512 by default) and
// returns the width they now try first: the cap, or less where the processor lacks the wider
// registers or the system does not save their state. 128 bits is the kernel build's baseline.
ULONG SetVectorWidthLimit(ULONG bits);

// The plain per-pixel path: the build for processors without vector units, and the reference
// the vector path must equal bit for bit.
VOID ConvertBayerToBgrxScalar(const ConversionParams* params, const bool* matrix_positive,
                              LONG phase, const ImageDestination* destination);
VOID ConvertBayerToGreyScalar(const ConversionParams* params, LONG phase,
                              const ImageDestination* destination);
inline VOID ConvertBayerToBgrxScalar(const ConversionParams* params, const bool* matrix_positive,
                                     LONG phase) {
    const ImageDestination output = OutputOf(params);
    ConvertBayerToBgrxScalar(params, matrix_positive, phase, &output);
}
inline VOID ConvertBayerToGreyScalar(const ConversionParams* params, LONG phase) {
    const ImageDestination output = OutputOf(params);
    ConvertBayerToGreyScalar(params, phase, &output);
}
VOID SumChannelsScalar(const ConversionParams* params, LONG phase, ChannelTotals* totals);
