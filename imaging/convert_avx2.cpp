// The conversions with two 16-pixel blocks per 256-bit register. Built with 256-bit instructions
// enabled; only called when the processor has them.
#include "imaging/convert_wide.h"

#if defined(__AVX2__)
#include "imaging/convert_vector.h"

VOID ConvertBayerToBgrxWide(const ConversionParams* params, const bool* matrix_positive,
                            LONG phase) {
    ConvertColourVector<Avx2, Sse2>(params, matrix_positive, phase);
}

VOID ConvertBayerToGreyWide(const ConversionParams* params, LONG phase) {
    ConvertGreyVector<Avx2, Sse2>(params, phase);
}

VOID SumChannelsWide(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    SumChannelsVector<Avx2, Sse2>(params, phase, totals);
}
#endif
