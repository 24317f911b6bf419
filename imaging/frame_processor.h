// The per-pin processing record: the conversion state, the applied colour settings with the
// matrices derived from them, and the per-frame conversion.
#pragma once

#include "imaging/color_matrix.h"
#include "imaging/conversion.h"

struct FrameProcessor {
    ConversionState conversion;
    volatile LONG color_enable;
    volatile LONG white_balance_auto;
    volatile LONG red_gain;
    volatile LONG green_gain;
    volatile LONG blue_gain;
    volatile LONG color_correction;
    volatile LONG brightness;
    volatile LONG contrast;
    volatile LONG saturation;
    volatile LONG hue;
    ColorMatrix correction_matrix;
    ColorMatrix brightness_matrix;
    ColorMatrix contrast_matrix;
    ColorMatrix saturation_matrix;
    ColorMatrix hue_matrix;
    ColorMatrix color_matrix;
    // Two published copies of the fixed-point matrix; publish_count & 1 names the current one.
    volatile LONG color_matrix_fixed[2][16];
    volatile LONG publish_count;
    // Synchronization event used as a mutex: rebuilds run double-precision work at PASSIVE_LEVEL,
    // where a spin lock's DISPATCH_LEVEL would be wrong.
    KEVENT rebuild_lock;
    volatile LONG rebuild_count;
};

// Zeroed from pool, with the start values of the colour fields and the matrices published; null
// when pool is short.
FrameProcessor* CreateFrameProcessor();
// Null-tolerant; frees the work buffer too.
VOID FreeFrameProcessor(FrameProcessor* processor);

VOID SetConversionGeometry(FrameProcessor* processor, ULONG width, ULONG height);
VOID AllocateWorkBuffer(FrameProcessor* processor);
VOID FreeWorkBuffer(FrameProcessor* processor);
VOID LoadWorkBuffer(FrameProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch);

// Converts one raw frame into output_buffer; does nothing when a buffer is missing.
VOID ConvertFrame(FrameProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch);
// The same into a destination of its own instead, which must lie within the frame's geometry;
// does nothing when the work buffer or the raw frame is missing or the destination does not fit.
VOID ConvertFrame(FrameProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch,
                  const ImageDestination* destination);

VOID UpdateColorCorrection(FrameProcessor* processor, LONG value);
VOID UpdateBrightness(FrameProcessor* processor, LONG value);
VOID UpdateContrast(FrameProcessor* processor, LONG value);
VOID UpdateSaturation(FrameProcessor* processor, LONG value);
VOID UpdateHue(FrameProcessor* processor, LONG value);

// The matrix builders on the processor's own matrices. Callers hold rebuild_lock.
VOID SetCorrectionMatrix(FrameProcessor* processor, LONG on);
VOID SetBrightnessMatrix(FrameProcessor* processor, LONG value);
VOID SetContrastMatrix(FrameProcessor* processor, LONG value);
VOID SetSaturationMatrix(FrameProcessor* processor, LONG value);
VOID SetHueMatrix(FrameProcessor* processor, LONG degrees);

VOID InitColorState(FrameProcessor* processor);
VOID RebuildColorMatrix(FrameProcessor* processor);
VOID PublishFixedMatrix(FrameProcessor* processor);
// A consistent copy of the current fixed-point matrix.
VOID SnapshotFixedMatrix(FrameProcessor* processor, LONG* matrix);
