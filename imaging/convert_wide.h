// The conversions in 256-bit registers, for processors that have them; the entry points of the
// 128-bit build choose them at run time.
#pragma once

#include "imaging/conversion.h"

VOID ConvertBayerToBgrxWide(const ConversionParams* params, const bool* matrix_positive,
                            LONG phase);
VOID ConvertBayerToGreyWide(const ConversionParams* params, LONG phase);
VOID SumChannelsWide(const ConversionParams* params, LONG phase, ChannelTotals* totals);
