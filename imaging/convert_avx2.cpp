// The conversions with two 16-pixel blocks per 256-bit register. Built with 256-bit instructions
// enabled; only called when the processor has them and their state is saved.
#include "imaging/convert_wide.h"

#if defined(__AVX2__)
#include "imaging/convert_vector.h"

namespace {
using Widths256 = Widths<NoWidth, Avx2>;
}  // namespace

VOID ConvertBayerToBgrx256(const ConversionParams* params, const bool* matrix_positive, LONG phase,
                           const ImageDestination* destination) {
    ConvertColourVector<Widths256>(params, matrix_positive, phase, *destination);
}

VOID ConvertBayerToGrey256(const ConversionParams* params, LONG phase,
                           const ImageDestination* destination) {
    ConvertGreyVector<Widths256>(params, phase, *destination);
}

VOID SumChannels256(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    SumChannelsVector<Widths256>(params, phase, totals);
}
#endif
