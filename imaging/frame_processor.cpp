// The FrameProcessor: creation, the colour-matrix model and the per-frame conversion.
#include "imaging/frame_processor.h"

#include "imaging/color_table.h"
#include "imaging/pool_tags.h"

namespace {

inline LONG ReadField(volatile LONG* field) {
    return InterlockedExchangeAdd(field, 0);
}

VOID LockRebuild(FrameProcessor* processor) {
    KeWaitForSingleObject(&processor->rebuild_lock, Executive, KernelMode, FALSE, nullptr);
}

VOID UnlockRebuild(FrameProcessor* processor) {
    KeSetEvent(&processor->rebuild_lock, 0, FALSE);
}

// The compare-exchange with the value itself reads the field and changes nothing either way. The
// whole update holds the lock, so the matrix always matches the field that a later update sees.
VOID UpdateTone(FrameProcessor* processor, volatile LONG* field, LONG value,
                VOID (*build)(FrameProcessor*, LONG)) {
    LockRebuild(processor);
    if (InterlockedCompareExchange(field, value, value) != value) {
        InterlockedExchange(field, value);
        build(processor, value);
        RebuildColorMatrix(processor);
    }
    UnlockRebuild(processor);
}

}  // namespace

FrameProcessor* CreateFrameProcessor() {
    auto* processor = (FrameProcessor*)ExAllocatePoolWithTag(
        (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), sizeof(FrameProcessor), kProcessorTag);
    if (processor == nullptr)
        return nullptr;
    KeInitializeEvent(&processor->rebuild_lock, SynchronizationEvent, TRUE);
    for (const ColorSetting& setting : kColorSettings)
        processor->*setting.field = setting.add_default;
    LockRebuild(processor);
    InitColorState(processor);
    UnlockRebuild(processor);
    return processor;
}

VOID FreeFrameProcessor(FrameProcessor* processor) {
    if (processor == nullptr)
        return;
    FreeWorkBuffer(&processor->conversion);
    ExFreePoolWithTag(processor, kProcessorTag);
}

VOID SetConversionGeometry(FrameProcessor* processor, ULONG width, ULONG height) {
    SetConversionGeometry(&processor->conversion, width, height);
}

VOID AllocateWorkBuffer(FrameProcessor* processor) {
    AllocateWorkBuffer(&processor->conversion);
}

VOID FreeWorkBuffer(FrameProcessor* processor) {
    FreeWorkBuffer(&processor->conversion);
}

VOID LoadWorkBuffer(FrameProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch) {
    LoadWorkBuffer(&processor->conversion, raw, offset, pitch);
}

VOID SetCorrectionMatrix(FrameProcessor* processor, LONG on) {
    BuildCorrectionMatrix(processor->correction_matrix, on);
}
VOID SetBrightnessMatrix(FrameProcessor* processor, LONG value) {
    BuildBrightnessMatrix(processor->brightness_matrix, value);
}
VOID SetContrastMatrix(FrameProcessor* processor, LONG value) {
    BuildContrastMatrix(processor->contrast_matrix, value);
}
VOID SetSaturationMatrix(FrameProcessor* processor, LONG value) {
    BuildSaturationMatrix(processor->saturation_matrix, value);
}
VOID SetHueMatrix(FrameProcessor* processor, LONG degrees) {
    BuildHueMatrix(processor->hue_matrix, degrees);
}

VOID UpdateColorCorrection(FrameProcessor* processor, LONG value) {
    UpdateTone(processor, &processor->color_correction, value, SetCorrectionMatrix);
}
VOID UpdateBrightness(FrameProcessor* processor, LONG value) {
    UpdateTone(processor, &processor->brightness, value, SetBrightnessMatrix);
}
VOID UpdateContrast(FrameProcessor* processor, LONG value) {
    UpdateTone(processor, &processor->contrast, value, SetContrastMatrix);
}
VOID UpdateSaturation(FrameProcessor* processor, LONG value) {
    UpdateTone(processor, &processor->saturation, value, SetSaturationMatrix);
}
VOID UpdateHue(FrameProcessor* processor, LONG value) {
    UpdateTone(processor, &processor->hue, value, SetHueMatrix);
}

VOID InitColorState(FrameProcessor* processor) {
    BuildCorrectionMatrix(processor->correction_matrix, 1);
    SetIdentityMatrix(processor->brightness_matrix);
    SetIdentityMatrix(processor->contrast_matrix);
    SetIdentityMatrix(processor->saturation_matrix);
    SetIdentityMatrix(processor->hue_matrix);
    RebuildColorMatrix(processor);
}

VOID RebuildColorMatrix(FrameProcessor* processor) {
    ColorMatrix composite;
    for (int k = 0; k < 16; ++k)
        composite[k] = processor->correction_matrix[k];
    MultiplyColorMatrix(composite, composite, processor->contrast_matrix);
    MultiplyColorMatrix(composite, composite, processor->brightness_matrix);
    MultiplyColorMatrix(composite, composite, processor->saturation_matrix);
    MultiplyColorMatrix(composite, composite, processor->hue_matrix);
    for (int k = 0; k < 16; ++k)
        processor->color_matrix[k] = composite[k];
    InterlockedIncrement(&processor->rebuild_count);
    PublishFixedMatrix(processor);
}

// The new matrix goes into the copy that readers are not using, and the count flips to it only
// once it is complete. A reader that saw the count change while it copied copies again, so no
// frame ever mixes entries of two matrices.
VOID PublishFixedMatrix(FrameProcessor* processor) {
    LONG fixed[16];
    ToFixedMatrix(processor->color_matrix, fixed);
    KeEnterCriticalRegion();
    const LONG next = (ReadField(&processor->publish_count) + 1) & 1;
    for (int k = 0; k < 16; ++k) {
        InterlockedExchange(&processor->color_matrix_fixed[next][k], fixed[k]);
    }
    InterlockedIncrement(&processor->publish_count);
    KeLeaveCriticalRegion();
}

VOID SnapshotFixedMatrix(FrameProcessor* processor, LONG* matrix) {
    KeEnterCriticalRegion();
    for (;;) {
        const LONG count = ReadField(&processor->publish_count);
        for (int k = 0; k < 16; ++k) {
            matrix[k] = ReadField(&processor->color_matrix_fixed[count & 1][k]);
        }
        if (ReadField(&processor->publish_count) == count)
            break;
    }
    KeLeaveCriticalRegion();
}

VOID ConvertFrame(FrameProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch) {
    ConversionState* state = &processor->conversion;
    if (state->output_buffer == nullptr)
        return;
    state->params.output = state->output_buffer;
    const ImageDestination output = OutputOf(&state->params);
    ConvertFrame(processor, raw, offset, pitch, &output);
}

VOID ConvertFrame(FrameProcessor* processor, const UCHAR* raw, ULONG offset, ULONG pitch,
                  const ImageDestination* destination) {
    ConversionState* state = &processor->conversion;
    if (raw == nullptr || state->work_buffer == nullptr || destination->first_row == nullptr ||
        destination->width > state->params.width || destination->height > state->params.height)
        return;
    LoadWorkBuffer(state, raw, offset, pitch);
    ConversionParams* params = &state->params;
    params->frame_red_gain = ReadField(&processor->red_gain);
    params->frame_green_gain = ReadField(&processor->green_gain);
    params->frame_blue_gain = ReadField(&processor->blue_gain);
    const LONG phase = ReadField(&state->bayer_phase);
    if (ReadField(&processor->white_balance_auto) != 0) {
        MeasureWhiteBalance(params, phase, &params->frame_red_gain, &params->frame_green_gain,
                            &params->frame_blue_gain);
        InterlockedExchange(&processor->red_gain, params->frame_red_gain);
        InterlockedExchange(&processor->green_gain, params->frame_green_gain);
        InterlockedExchange(&processor->blue_gain, params->frame_blue_gain);
    }
    SnapshotFixedMatrix(processor, params->matrix);
    for (int k = 0; k < 16; ++k)
        state->matrix_positive[k] = params->matrix[k] > 0;
    if (ReadField(&processor->color_enable) != 0) {
        ConvertBayerToBgrx(params, state->matrix_positive, phase, destination);
    } else {
        ConvertBayerToGrey(params, phase, destination);
    }
}
