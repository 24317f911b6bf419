// The conversions with four 16-pixel blocks per 512-bit register, and two per 256-bit register
// for what is left of a row. Built with those instructions enabled; only called when the
// processor has them and their state is saved.
#include "imaging/convert_wide.h"

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__)
// GCC's lane shuffle starts from a deliberately undefined register, which its own
// uninitialised-use check then reports; clang has no such check.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "imaging/convert_vector.h"

namespace {
using Widths512 = Widths<Avx512, Avx2>;
}  // namespace

VOID ConvertBayerToBgrx512(const ConversionParams* params, const bool* matrix_positive, LONG phase,
                           const ImageDestination* destination) {
    ConvertColourVector<Widths512>(params, matrix_positive, phase, *destination);
}

VOID ConvertBayerToGrey512(const ConversionParams* params, LONG phase,
                           const ImageDestination* destination) {
    ConvertGreyVector<Widths512>(params, phase, *destination);
}

VOID SumChannels512(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    SumChannelsVector<Widths512>(params, phase, totals);
}
#endif
