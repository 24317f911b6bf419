// The vector conversions' entry points: 128-bit registers, or 256-bit ones where the processor
// has them and they are enabled.
#include "imaging/conversion.h"

#if defined(__SSE2__)
#include "imaging/convert_vector.h"
#include "imaging/convert_wide.h"

namespace {

VOID Cpuid(ULONG leaf, ULONG subleaf, ULONG* registers) {
    __asm__ volatile("cpuid"
                     : "=a"(registers[0]), "=b"(registers[1]), "=c"(registers[2]),
                       "=d"(registers[3])
                     : "a"(leaf), "c"(subleaf));
}

// The instructions alone are not enough: the system must also save the 256-bit state.
bool ProcessorHasWideVectors() {
#if defined(CAM_HAVE_AVX2_BUILD)
    ULONG r[4];
    Cpuid(0, 0, r);
    if (r[0] < 7)
        return false;
    Cpuid(1, 0, r);
    const bool osxsave = (r[2] & (1u << 27)) != 0;
    const bool avx = (r[2] & (1u << 28)) != 0;
    if (!osxsave || !avx)
        return false;
    ULONG low;
    ULONG high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 6) != 6)
        return false;
    Cpuid(7, 0, r);
    return (r[1] & (1u << 5)) != 0;
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

}  // namespace

bool SetWideVectorsEnabled(bool enabled) {
    InterlockedExchange(&g_wide_enabled, enabled ? 1 : 0);
    return UseWide();
}

VOID ConvertBayerToBgrx(const ConversionParams* params, const bool* matrix_positive, LONG phase) {
    if (UseWide()) {
        ConvertBayerToBgrxWide(params, matrix_positive, phase);
    } else {
        ConvertColourVector<Sse2, Sse2>(params, matrix_positive, phase);
    }
}

VOID ConvertBayerToGrey(const ConversionParams* params, LONG phase) {
    if (UseWide()) {
        ConvertBayerToGreyWide(params, phase);
    } else {
        ConvertGreyVector<Sse2, Sse2>(params, phase);
    }
}

VOID SumChannels(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    if (UseWide()) {
        SumChannelsWide(params, phase, totals);
    } else {
        SumChannelsVector<Sse2, Sse2>(params, phase, totals);
    }
}
#endif
