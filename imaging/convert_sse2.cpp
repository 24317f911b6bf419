// The vector conversions' entry points: 128-bit registers, or 256-bit ones where the processor
// has them and they are enabled.
#include "imaging/conversion.h"

#if defined(__SSE2__)
#include "imaging/convert_vector.h"
#include "imaging/convert_wide.h"

namespace {

// The system must save the 256-bit state as well as the processor having the instructions.
bool ProcessorHasWideVectors() {
#if defined(CAM_HAVE_AVX2_BUILD)
    return ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) != FALSE;
#else
    return false;
#endif
}

// -1 until first asked; then 0 or 1. Enabling never reaches past what the processor has.
volatile LONG g_wide_available = -1;
volatile LONG g_wide_enabled = 1;

bool UseWide() {
    LONG available = InterlockedExchangeAdd(&g_wide_available, 0);
    if (available < 0) {
        available = ProcessorHasWideVectors() ? 1 : 0;
        InterlockedExchange(&g_wide_available, available);
    }
    return available != 0 && InterlockedExchangeAdd(&g_wide_enabled, 0) != 0;
}

// Kernel code saves the extended register state around 256-bit work; when the save fails the
// caller takes the 128-bit path.
template <typename Work>
bool RunWide(Work work) {
    if (!UseWide())
        return false;
    XSTATE_SAVE save;
    if (!NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save)))
        return false;
    work();
    KeRestoreExtendedProcessorState(&save);
    return true;
}

}  // namespace

bool SetWideVectorsEnabled(bool enabled) {
    InterlockedExchange(&g_wide_enabled, enabled ? 1 : 0);
    return UseWide();
}

VOID ConvertBayerToBgrx(const ConversionParams* params, const bool* matrix_positive, LONG phase) {
    if (!RunWide([&] { ConvertBayerToBgrxWide(params, matrix_positive, phase); })) {
        ConvertColourVector<Sse2, Sse2>(params, matrix_positive, phase);
    }
}

VOID ConvertBayerToGrey(const ConversionParams* params, LONG phase) {
    if (!RunWide([&] { ConvertBayerToGreyWide(params, phase); })) {
        ConvertGreyVector<Sse2, Sse2>(params, phase);
    }
}

VOID SumChannels(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    if (!RunWide([&] { SumChannelsWide(params, phase, totals); })) {
        SumChannelsVector<Sse2, Sse2>(params, phase, totals);
    }
}
#endif
