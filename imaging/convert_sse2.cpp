// The vector conversions' entry points: 128-bit registers, or 256- or 512-bit ones where the
// processor has them, the system saves their state, and the width limit allows them.
#include "imaging/conversion.h"

#if defined(__SSE2__)
#include "imaging/convert_vector.h"
#include "imaging/convert_wide.h"

namespace {

volatile LONG g_width_limit = 512;

#if defined(CAM_HAVE_AVX512_BUILD)
// -1 until first asked. The system names a feature for the 512-bit foundation only; the word and
// vector-length instructions the conversions also use are the processor's to report. They do not
// change while the system runs, so the answer is kept.
volatile LONG g_avx512_words = -1;

// The processor's identification leaf and subleaf: eax, ebx, ecx, edx.
VOID ProcessorId(ULONG leaf, ULONG subleaf, ULONG* registers) {
    __asm__("cpuid"
            : "=a"(registers[0]), "=b"(registers[1]), "=c"(registers[2]), "=d"(registers[3])
            : "a"(leaf), "c"(subleaf));
}

bool ProcessorHasAvx512Words() {
    LONG known = InterlockedExchangeAdd(&g_avx512_words, 0);
    if (known < 0) {
        ULONG registers[4];
        ProcessorId(0, 0, registers);
        const bool listed = registers[0] >= 7;
        if (listed)
            ProcessorId(7, 0, registers);
        known = listed && (registers[1] >> 30 & 3) == 3 ? 1 : 0;  // ebx 30 words, 31 lengths
        InterlockedExchange(&g_avx512_words, known);
    }
    return known != 0;
}
#endif

// The widest registers the processor has and the system saves the state of. Asked on every
// frame, since the answer is the system's.
ULONG ProcessorVectorWidth() {
#if defined(CAM_HAVE_AVX2_BUILD)
    if (ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) == FALSE)
        return 128;
#if defined(CAM_HAVE_AVX512_BUILD)
    if (ExIsProcessorFeaturePresent(PF_AVX512F_INSTRUCTIONS_AVAILABLE) != FALSE &&
        ProcessorHasAvx512Words())
        return 512;
#endif
    return 256;
#else
    return 128;
#endif
}

ULONG UsableWidth() {
    const ULONG limit = (ULONG)InterlockedExchangeAdd(&g_width_limit, 0);
    const ULONG width = ProcessorVectorWidth();
    return width < limit ? width : limit;
}

template <typename Work>
[[maybe_unused]] bool RunSaved(ULONG64 mask, Work work) {
    XSTATE_SAVE save;
    if (!NT_SUCCESS(KeSaveExtendedProcessorState(mask, &save)))
        return false;
    work();
    KeRestoreExtendedProcessorState(&save);
    return true;
}

// Kernel code saves the extended register state around the wider registers; a 512-bit register's
// low half is a 256-bit one, so its save covers both. When a save fails the next narrower width is
// tried, down to the 128-bit baseline, which needs no save.
template <typename Run512, typename Run256, typename Run128>
VOID RunWidest([[maybe_unused]] Run512 run512, [[maybe_unused]] Run256 run256, Run128 run128) {
    [[maybe_unused]] const ULONG width = UsableWidth();
#if defined(CAM_HAVE_AVX512_BUILD)
    if (width >= 512 && RunSaved(XSTATE_MASK_AVX | XSTATE_MASK_AVX512, run512))
        return;
#endif
#if defined(CAM_HAVE_AVX2_BUILD)
    if (width >= 256 && RunSaved(XSTATE_MASK_AVX, run256))
        return;
#endif
    run128();
}

// Stores past the caches are ordered only by a fence: whoever is handed the image next must see
// all of it.
VOID FinishStores(const ImageDestination& destination) {
    if (destination.streaming)
        _mm_sfence();
}

}  // namespace

ULONG SetVectorWidthLimit(ULONG bits) {
    InterlockedExchange(&g_width_limit, (LONG)bits);
    return UsableWidth();
}

VOID ConvertBayerToBgrx(const ConversionParams* params, const bool* matrix_positive, LONG phase,
                        const ImageDestination* destination) {
    RunWidest(
        [&] { ConvertBayerToBgrx512(params, matrix_positive, phase, destination); },
        [&] { ConvertBayerToBgrx256(params, matrix_positive, phase, destination); },
        [&] { ConvertColourVector<Widths128>(params, matrix_positive, phase, *destination); });
    FinishStores(*destination);
}

VOID ConvertBayerToGrey(const ConversionParams* params, LONG phase,
                        const ImageDestination* destination) {
    RunWidest([&] { ConvertBayerToGrey512(params, phase, destination); },
              [&] { ConvertBayerToGrey256(params, phase, destination); },
              [&] { ConvertGreyVector<Widths128>(params, phase, *destination); });
    FinishStores(*destination);
}

VOID SumChannels(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    RunWidest([&] { SumChannels512(params, phase, totals); },
              [&] { SumChannels256(params, phase, totals); },
              [&] { SumChannelsVector<Widths128>(params, phase, totals); });
}
#endif
