// The conversions in 256- and 512-bit registers, each built for its own instruction set; the
// entry points of the 128-bit build choose them at run time.
#pragma once

#include "imaging/conversion.h"

VOID ConvertBayerToBgrx256(const ConversionParams* params, const bool* matrix_positive, LONG phase,
                           const ImageDestination* destination);
VOID ConvertBayerToGrey256(const ConversionParams* params, LONG phase,
                           const ImageDestination* destination);
VOID SumChannels256(const ConversionParams* params, LONG phase, ChannelTotals* totals);

VOID ConvertBayerToBgrx512(const ConversionParams* params, const bool* matrix_positive, LONG phase,
                           const ImageDestination* destination);
VOID ConvertBayerToGrey512(const ConversionParams* params, LONG phase,
                           const ImageDestination* destination);
VOID SumChannels512(const ConversionParams* params, LONG phase, ChannelTotals* totals);
