// The vector conversions: 16 pixels per block, even and odd columns in 8-lane 16-bit arithmetic.
#include "imaging/bayer_sites.h"

#if defined(__SSE2__)
#include <emmintrin.h>

namespace {

// Samples of one work-buffer row around a block, as 16-bit lanes: column[k] holds, for lane i,
// the sample at block column 2i - 2 + k. An even output column reads column[2 + dx], an odd one
// column[3 + dx].
struct RowSamples {
    __m128i column[6];
};

inline RowSamples LoadRow(const UCHAR* block) {
    const __m128i low_bytes = _mm_set1_epi16(0x00FF);
    const __m128i left = _mm_loadu_si128((const __m128i*)(block - 2));
    const __m128i centre = _mm_loadu_si128((const __m128i*)block);
    const __m128i right = _mm_loadu_si128((const __m128i*)(block + 2));
    return {{_mm_and_si128(left, low_bytes), _mm_srli_epi16(left, 8),
             _mm_and_si128(centre, low_bytes), _mm_srli_epi16(centre, 8),
             _mm_and_si128(right, low_bytes), _mm_srli_epi16(right, 8)}};
}

struct Neighbourhood {
    RowSamples up2, up1, row, down1, down2;
};

inline __m128i Finish(__m128i sum, short rounding, int shift) {
    const __m128i value = _mm_srli_epi16(
        _mm_add_epi16(_mm_max_epi16(sum, _mm_setzero_si128()), _mm_set1_epi16(rounding)), shift);
    return _mm_min_epi16(value, _mm_set1_epi16(255));
}

struct Channels {
    __m128i red, green, blue;
};

template <Site kSite, int kBase>
inline Channels InterpolateLanes(const Neighbourhood& n) {
    const __m128i* r0 = n.row.column;
    const __m128i centre = r0[kBase];
    const __m128i horizontal_near = _mm_add_epi16(r0[kBase - 1], r0[kBase + 1]);
    const __m128i horizontal_far = _mm_add_epi16(r0[kBase - 2], r0[kBase + 2]);
    const __m128i vertical_near = _mm_add_epi16(n.up1.column[kBase], n.down1.column[kBase]);
    const __m128i vertical_far = _mm_add_epi16(n.up2.column[kBase], n.down2.column[kBase]);
    auto diagonals = [&] {
        return _mm_add_epi16(_mm_add_epi16(n.up1.column[kBase - 1], n.up1.column[kBase + 1]),
                             _mm_add_epi16(n.down1.column[kBase - 1], n.down1.column[kBase + 1]));
    };
    auto kg = [&] {
        const __m128i plus =
            _mm_add_epi16(_mm_slli_epi16(centre, 2),
                          _mm_slli_epi16(_mm_add_epi16(horizontal_near, vertical_near), 1));
        return Finish(_mm_sub_epi16(plus, _mm_add_epi16(horizontal_far, vertical_far)), 4, 3);
    };
    auto kd = [&] {
        const __m128i far = _mm_add_epi16(horizontal_far, vertical_far);
        const __m128i plus =
            _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(centre, 3), _mm_slli_epi16(centre, 2)),
                          _mm_slli_epi16(diagonals(), 2));
        return Finish(_mm_sub_epi16(plus, _mm_add_epi16(_mm_slli_epi16(far, 1), far)), 8, 4);
    };
    const __m128i ten_centre = _mm_add_epi16(_mm_slli_epi16(centre, 3), _mm_slli_epi16(centre, 1));
    auto directional = [&](__m128i near, __m128i across_far, __m128i along_far) {
        const __m128i plus =
            _mm_add_epi16(_mm_add_epi16(ten_centre, _mm_slli_epi16(near, 3)), across_far);
        const __m128i minus = _mm_slli_epi16(_mm_add_epi16(diagonals(), along_far), 1);
        return Finish(_mm_sub_epi16(plus, minus), 8, 4);
    };
    // Left/right neighbours: near horizontally, the far vertical pair adds, the far horizontal
    // pair subtracts; upper/lower neighbours the other way round.
    auto kh = [&] { return directional(horizontal_near, vertical_far, horizontal_far); };
    auto kv = [&] { return directional(vertical_near, horizontal_far, vertical_far); };
    if constexpr (kSite == Site::kRed) {
        return {centre, kg(), kd()};
    } else if constexpr (kSite == Site::kBlue) {
        return {kd(), kg(), centre};
    } else if constexpr (kSite == Site::kGreenRed) {
        return {kh(), centre, kv()};
    } else {
        return {kv(), centre, kh()};
    }
}

// (value * factor) / 128, saturating at 255; the high half of the product flags saturation.
inline __m128i Gain(__m128i value, __m128i factor) {
    const __m128i low = _mm_mullo_epi16(value, factor);
    const __m128i high = _mm_mulhi_epu16(value, factor);
    const __m128i overflow =
        _mm_andnot_si128(_mm_cmpeq_epi16(high, _mm_setzero_si128()), _mm_set1_epi16(255));
    return _mm_min_epi16(_mm_or_si128(_mm_srli_epi16(low, 7), overflow), _mm_set1_epi16(255));
}

struct GainFactors {
    __m128i red, green, blue;
};

inline GainFactors LoadGains(const ConversionParams* params) {
    return {_mm_set1_epi16((short)GainFactor(params->frame_red_gain)),
            _mm_set1_epi16((short)GainFactor(params->frame_green_gain)),
            _mm_set1_epi16((short)GainFactor(params->frame_blue_gain))};
}

inline Channels Gained(const Channels& c, const GainFactors& g) {
    return {Gain(c.red, g.red), Gain(c.green, g.green), Gain(c.blue, g.blue)};
}

// The block's two halves: lanes of the even and of the odd columns.
struct Block {
    Channels even, odd;
};

// Sixteen 16-bit lanes of one channel back in pixel order, one byte each.
inline __m128i Interleave(__m128i even, __m128i odd) {
    return _mm_or_si128(even, _mm_slli_epi16(odd, 8));
}

// Writes 16 pixels (blue, green, red, alpha bytes) from per-channel byte vectors.
inline VOID StorePixels(ULONG* out, __m128i blue, __m128i green, __m128i red) {
    const __m128i alpha = _mm_set1_epi8((char)0xFF);
    const __m128i bg_low = _mm_unpacklo_epi8(blue, green);
    const __m128i bg_high = _mm_unpackhi_epi8(blue, green);
    const __m128i ra_low = _mm_unpacklo_epi8(red, alpha);
    const __m128i ra_high = _mm_unpackhi_epi8(red, alpha);
    _mm_storeu_si128((__m128i*)out, _mm_unpacklo_epi16(bg_low, ra_low));
    _mm_storeu_si128((__m128i*)(out + 4), _mm_unpackhi_epi16(bg_low, ra_low));
    _mm_storeu_si128((__m128i*)(out + 8), _mm_unpacklo_epi16(bg_high, ra_high));
    _mm_storeu_si128((__m128i*)(out + 12), _mm_unpackhi_epi16(bg_high, ra_high));
}

// Coefficients of one output channel, split by sign so that no signed multiply is needed: the
// positive and the negative sum are formed apart, each in 32-bit lanes, since at legal settings
// they exceed 16 bits.
struct OutputCoefficients {
    __m128i plus_red_green, plus_blue, plus_constant;
    __m128i minus_red_green, minus_blue, minus_constant;
};

struct MatrixCoefficients {
    OutputCoefficients output[3];
};

// False when a colour entry's magnitude does not fit a signed 16-bit multiplier; such a matrix
// takes the plain path.
inline bool PrepareMatrix(const LONG* matrix, const bool* positive, MatrixCoefficients* c) {
    for (int j = 0; j < 3; ++j) {
        ULONG plus[4] = {0, 0, 0, 0};
        ULONG minus[4] = {0, 0, 0, 0};
        for (int i = 0; i < 4; ++i) {
            const ULONG magnitude = EntryMagnitude(matrix[4 * i + j]);
            if (i < 3 && magnitude > 0x7FFF)
                return false;
            (positive[4 * i + j] ? plus : minus)[i] = magnitude;
        }
        OutputCoefficients& o = c->output[j];
        o.plus_red_green = _mm_set1_epi32((int)(plus[0] | plus[1] << 16));
        o.plus_blue = _mm_set1_epi32((int)plus[2]);
        o.plus_constant = _mm_set1_epi32((int)plus[3]);
        o.minus_red_green = _mm_set1_epi32((int)(minus[0] | minus[1] << 16));
        o.minus_blue = _mm_set1_epi32((int)minus[2]);
        o.minus_constant = _mm_set1_epi32((int)minus[3]);
    }
    return true;
}

inline __m128i OutputQuarter(__m128i red_green, __m128i blue, const OutputCoefficients& o) {
    const __m128i plus = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(red_green, o.plus_red_green),
                                                     _mm_madd_epi16(blue, o.plus_blue)),
                                       o.plus_constant);
    const __m128i minus = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(red_green, o.minus_red_green),
                                                      _mm_madd_epi16(blue, o.minus_blue)),
                                        o.minus_constant);
    return _mm_sub_epi32(_mm_srli_epi32(plus, 6), _mm_srli_epi32(minus, 6));
}

inline Channels ApplyMatrix(const Channels& in, const MatrixCoefficients& m) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i rg_low = _mm_unpacklo_epi16(in.red, in.green);
    const __m128i rg_high = _mm_unpackhi_epi16(in.red, in.green);
    const __m128i b_low = _mm_unpacklo_epi16(in.blue, zero);
    const __m128i b_high = _mm_unpackhi_epi16(in.blue, zero);
    __m128i out[3];
    for (int j = 0; j < 3; ++j) {
        const __m128i both = _mm_packs_epi32(OutputQuarter(rg_low, b_low, m.output[j]),
                                             OutputQuarter(rg_high, b_high, m.output[j]));
        out[j] = _mm_min_epi16(_mm_max_epi16(both, zero), _mm_set1_epi16(255));
    }
    return {out[0], out[1], out[2]};
}

template <Site kEven, Site kOdd>
inline Block InterpolateBlock(const UCHAR* block, LONG stride) {
    const Neighbourhood n = {LoadRow(block - 2 * stride), LoadRow(block - stride), LoadRow(block),
                             LoadRow(block + stride), LoadRow(block + 2 * stride)};
    return {InterpolateLanes<kEven, 2>(n), InterpolateLanes<kOdd, 3>(n)};
}

// Walks the image in 16-pixel blocks; the sink receives each block and the number of its pixels
// inside the image (16 except in a short last block).
template <LONG kPhase, typename Sink>
VOID ForEachBlock(const ConversionParams* params, Sink& sink) {
    constexpr Site kEvenRow0 = kPhaseSites[kPhase][0][0];
    constexpr Site kEvenRow1 = kPhaseSites[kPhase][0][1];
    constexpr Site kOddRow0 = kPhaseSites[kPhase][1][0];
    constexpr Site kOddRow1 = kPhaseSites[kPhase][1][1];
    const LONG width = params->width;
    const LONG stride = params->stride;
    const LONG full_blocks = width / 16;
    const LONG tail = width % 16;
    for (LONG y = 0; y < params->height; ++y) {
        const UCHAR* row = params->origin + (LONG_PTR)y * stride;
        if ((y & 1) == 0) {
            for (LONG b = 0; b < full_blocks; ++b) {
                sink.Full(InterpolateBlock<kEvenRow0, kEvenRow1>(row + 16 * b, stride));
            }
            if (tail != 0) {
                sink.Tail(InterpolateBlock<kEvenRow0, kEvenRow1>(row + 16 * full_blocks, stride),
                          tail);
            }
        } else {
            for (LONG b = 0; b < full_blocks; ++b) {
                sink.Full(InterpolateBlock<kOddRow0, kOddRow1>(row + 16 * b, stride));
            }
            if (tail != 0) {
                sink.Tail(InterpolateBlock<kOddRow0, kOddRow1>(row + 16 * full_blocks, stride),
                          tail);
            }
        }
    }
}

template <typename Sink>
VOID DispatchPhase(const ConversionParams* params, LONG phase, Sink& sink) {
    switch (NormalizeBayerPhase(phase)) {
        case 0:
            ForEachBlock<0>(params, sink);
            break;
        case 1:
            ForEachBlock<1>(params, sink);
            break;
        case 2:
            ForEachBlock<2>(params, sink);
            break;
        default:
            ForEachBlock<3>(params, sink);
            break;
    }
}

// Stores pixels at a running output position; a short block goes through a scratch block so
// nothing is written past the image.
struct PixelWriter {
    ULONG* out;
    VOID Full(__m128i blue, __m128i green, __m128i red) {
        StorePixels(out, blue, green, red);
        out += 16;
    }
    VOID Tail(__m128i blue, __m128i green, __m128i red, LONG count) {
        alignas(16) ULONG scratch[16];
        StorePixels(scratch, blue, green, red);
        for (LONG i = 0; i < count; ++i)
            out[i] = scratch[i];
        out += count;
    }
};

struct ColourSink {
    PixelWriter writer;
    GainFactors gains;
    MatrixCoefficients matrix;
    template <typename Store>
    VOID Convert(const Block& block, Store store) {
        const Channels even = ApplyMatrix(Gained(block.even, gains), matrix);
        const Channels odd = ApplyMatrix(Gained(block.odd, gains), matrix);
        store(Interleave(even.blue, odd.blue), Interleave(even.green, odd.green),
              Interleave(even.red, odd.red));
    }
    VOID Full(const Block& block) {
        Convert(block, [this](__m128i b, __m128i g, __m128i r) { writer.Full(b, g, r); });
    }
    VOID Tail(const Block& block, LONG count) {
        Convert(block, [&](__m128i b, __m128i g, __m128i r) { writer.Tail(b, g, r, count); });
    }
};

inline __m128i Luminance(const Channels& c) {
    auto weighted = [](__m128i v, short weight) {
        return _mm_srli_epi16(_mm_mullo_epi16(v, _mm_set1_epi16(weight)), 8);
    };
    return _mm_add_epi16(_mm_add_epi16(weighted(c.red, 77), weighted(c.green, 150)),
                         weighted(c.blue, 29));
}

struct GreySink {
    PixelWriter writer;
    GainFactors gains;
    __m128i Grey(const Block& block) const {
        return Interleave(Luminance(Gained(block.even, gains)),
                          Luminance(Gained(block.odd, gains)));
    }
    VOID Full(const Block& block) {
        const __m128i grey = Grey(block);
        writer.Full(grey, grey, grey);
    }
    VOID Tail(const Block& block, LONG count) {
        const __m128i grey = Grey(block);
        writer.Tail(grey, grey, grey, count);
    }
};

// Adds the block's bytes into 64-bit lanes, one accumulator per channel.
struct SumSink {
    __m128i red = _mm_setzero_si128();
    __m128i green = _mm_setzero_si128();
    __m128i blue = _mm_setzero_si128();
    VOID Add(const Block& block, __m128i keep) {
        const __m128i zero = _mm_setzero_si128();
        auto add = [&](__m128i& total, __m128i even, __m128i odd) {
            total = _mm_add_epi64(total,
                                  _mm_sad_epu8(_mm_and_si128(Interleave(even, odd), keep), zero));
        };
        add(red, block.even.red, block.odd.red);
        add(green, block.even.green, block.odd.green);
        add(blue, block.even.blue, block.odd.blue);
    }
    VOID Full(const Block& block) { Add(block, _mm_set1_epi8((char)0xFF)); }
    // Only the image's own columns count, so the totals never depend on bytes beyond the border.
    VOID Tail(const Block& block, LONG count) {
        const __m128i lane = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        Add(block, _mm_cmplt_epi8(lane, _mm_set1_epi8((char)count)));
    }
};

ULONG Total(__m128i lanes) {
    return (ULONG)((ULONG64)_mm_cvtsi128_si64(lanes) +
                   (ULONG64)_mm_cvtsi128_si64(_mm_unpackhi_epi64(lanes, lanes)));
}

}  // namespace

VOID ConvertBayerToBgrx(const ConversionParams* params, const bool* matrix_positive, LONG phase) {
    ColourSink sink{{params->output}, LoadGains(params), {}};
    if (!PrepareMatrix(params->matrix, matrix_positive, &sink.matrix)) {
        ConvertBayerToBgrxScalar(params, matrix_positive, phase);
        return;
    }
    DispatchPhase(params, phase, sink);
}

VOID ConvertBayerToGrey(const ConversionParams* params, LONG phase) {
    GreySink sink{{params->output}, LoadGains(params)};
    DispatchPhase(params, phase, sink);
}

VOID SumChannels(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    SumSink sink;
    DispatchPhase(params, phase, sink);
    totals->red = Total(sink.red);
    totals->green = Total(sink.green);
    totals->blue = Total(sink.blue);
}

#endif
