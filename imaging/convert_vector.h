// The vector conversions, 16 pixels per 128 bits: even and odd columns of a block in 16-bit lanes.
// Included by one source file per instruction set. Everything here has internal linkage, so code
// built for a wider instruction set never stands in for the narrower build of the same template.
#pragma once

#include "imaging/bayer_sites.h"
#include "imaging/vector_ops.h"

namespace {

template <typename A, typename B>
struct IsSameType {
    static constexpr bool value = false;
};
template <typename A>
struct IsSameType<A, A> {
    static constexpr bool value = true;
};

// The register widths a row is walked with, widest first: Quad takes four whole blocks per step,
// Pair two; NoWidth leaves that step out. Single blocks and the short last block always take
// 128-bit registers.
struct NoWidth {};
template <class QuadV, class PairV>
struct Widths {
    using Quad = QuadV;
    using Pair = PairV;
};
using Widths128 = Widths<NoWidth, NoWidth>;

inline ULONG LaneGainFactor(LONG gain) {
    return gain > 0xFFFF ? 0xFFFF : (ULONG)gain & 0xFFFF;
}

inline ULONG LaneMagnitude(LONG entry) {
    ULONG magnitude = entry < 0 ? 0u - (ULONG)entry : (ULONG)entry;
    return magnitude & 0xFFFF;
}

inline LONG LanePhase(LONG phase) {
    return phase >= 0 && phase <= 2 ? phase : 3;
}

// Samples of one work-buffer row around a block: column[k] holds, for lane i, the sample at block
// column 2i - 2 + k. An even output column reads column[2 + dx], an odd one column[3 + dx].
template <class V>
struct RowSamples {
    typename V::T column[6];
};

// Each column is a load masked to the low byte of every lane, the odd columns from one byte further
// along: one instruction each where the load folds into the mask.
template <class V>
CAM_INLINE RowSamples<V> LoadRow(const UCHAR* block) {
    const typename V::T low_bytes = V::Set16(0x00FF);
    auto column = [&](LONG offset) __attribute__((always_inline)) {
        return V::And(V::Load(block + offset), low_bytes);
    };
    return {{column(-2), column(-1), column(0), column(1), column(2), column(3)}};
}

template <class V>
struct Neighbourhood {
    RowSamples<V> up2, up1, row, down1, down2;
};

// A kernel's weighted sum, its rounding already added, to its value. Clamped, it is 0..255 as the
// site rules give it: a sum below the rounding is a negative kernel, which gives 0. Left unclamped,
// the quotient keeps its sign, so that packing to bytes with unsigned saturation gives the clamped
// value: the channel sums pack anyway, and save the clamps that way.
template <class V, int kShift, bool kClamped>
CAM_INLINE typename V::T Finish(typename V::T rounded_sum, short rounding) {
    if constexpr (kClamped) {
        const auto value = V::template Right16<kShift>(V::Max16(rounded_sum, V::Set16(rounding)));
        return V::Min16(value, V::Set16(255));
    } else {
        return V::template RightSigned16<kShift>(rounded_sum);
    }
}

template <class V>
struct Channels {
    typename V::T red, green, blue;
};

// The kernels are regrouped so that the two values a site interpolates share their common terms
// and one rounding: fewer operations per block than the kernels written out, the same sums.
template <class V, Site kSite, int kBase, bool kClamped>
CAM_INLINE Channels<V> InterpolateLanes(const Neighbourhood<V>& n) {
    using T = typename V::T;
    const T* r0 = n.row.column;
    const T centre = r0[kBase];
    const T horizontal_near = V::Add16(r0[kBase - 1], r0[kBase + 1]);
    const T horizontal_far = V::Add16(r0[kBase - 2], r0[kBase + 2]);
    const T vertical_near = V::Add16(n.up1.column[kBase], n.down1.column[kBase]);
    const T vertical_far = V::Add16(n.up2.column[kBase], n.down2.column[kBase]);
    const T diagonals = V::Add16(V::Add16(n.up1.column[kBase - 1], n.up1.column[kBase + 1]),
                                 V::Add16(n.down1.column[kBase - 1], n.down1.column[kBase + 1]));
    if constexpr (kSite == Site::kRed || kSite == Site::kBlue) {
        // With d = 4 centre - far + 4, green (4 centre + 2 near - far + 4) / 8 is
        // (d + 2 near) / 8, and the diagonal colour (12 centre + 4 diagonals - 3 far + 8) / 16
        // is (3 d + 4 diagonals - 4) / 16.
        const T d = V::Add16(
            V::Sub16(V::template Left16<2>(centre), V::Add16(horizontal_far, vertical_far)),
            V::Set16(4));
        const T green = Finish<V, 3, kClamped>(
            V::Add16(d, V::template Left16<1>(V::Add16(horizontal_near, vertical_near))), 4);
        const T diagonal = Finish<V, 4, kClamped>(
            V::Add16(V::Add16(V::template Left16<1>(d), d),
                     V::Sub16(V::template Left16<2>(diagonals), V::Set16(4))),
            8);
        if constexpr (kSite == Site::kRed) {
            return {centre, green, diagonal};
        } else {
            return {diagonal, green, centre};
        }
    } else {
        // Towards the near pair: (10 centre + 8 near + far across - 2 diagonals - 2 far along + 8)
        // / 16, which is (2 (x + 4 near - far along) + far across) / 16 with
        // x = 5 centre - diagonals + 4, shared by both directions.
        const T x = V::Add16(V::Sub16(V::Add16(V::template Left16<2>(centre), centre), diagonals),
                             V::Set16(4));
        auto directional = [&](T near, T across_far, T along_far) __attribute__((always_inline)) {
            const T half = V::Sub16(V::Add16(x, V::template Left16<2>(near)), along_far);
            return Finish<V, 4, kClamped>(V::Add16(V::template Left16<1>(half), across_far), 8);
        };
        const T along_rows = directional(horizontal_near, vertical_far, horizontal_far);
        const T along_columns = directional(vertical_near, horizontal_far, vertical_far);
        if constexpr (kSite == Site::kGreenRed) {
            return {along_rows, centre, along_columns};
        } else {
            return {along_columns, centre, along_rows};
        }
    }
}

// The block's two halves: lanes of the even and of the odd columns.
template <class V>
struct Block {
    Channels<V> even, odd;
};

template <class V, Site kEven, Site kOdd, bool kClamped>
CAM_INLINE Block<V> InterpolateBlock(const UCHAR* block, LONG stride) {
    const Neighbourhood<V> n = {LoadRow<V>(block - 2 * stride), LoadRow<V>(block - stride),
                                LoadRow<V>(block), LoadRow<V>(block + stride),
                                LoadRow<V>(block + 2 * stride)};
    return {InterpolateLanes<V, kEven, 2, kClamped>(n), InterpolateLanes<V, kOdd, 3, kClamped>(n)};
}

// How the frame's gains are applied. Neutral gains (all 128) change nothing and are skipped.
// Factors below 2^14 take one high-half multiply of (value << 8) by twice the factor, which is
// (value * factor) / 128 exactly and stays below 2^15; larger factors take the full product.
// White balance always leaves green at 128, so that case skips green.
enum class GainMode { kNeutral, kRedBlue, kSmall, kGeneral };

inline GainMode ChooseGainMode(const ULONG* factors) {
    if (factors[0] == 128 && factors[1] == 128 && factors[2] == 128)
        return GainMode::kNeutral;
    if (factors[0] < 0x4000 && factors[1] < 0x4000 && factors[2] < 0x4000)
        return factors[1] == 128 ? GainMode::kRedBlue : GainMode::kSmall;
    return GainMode::kGeneral;
}

template <class V, GainMode kMode>
struct Gains {
    using T = typename V::T;
    T red, green, blue;
    CAM_INLINE explicit Gains(const ULONG* factors)
        : red(Factor(factors[0])), green(Factor(factors[1])), blue(Factor(factors[2])) {}
    static constexpr bool kShort = kMode == GainMode::kSmall || kMode == GainMode::kRedBlue;
    CAM_INLINE static T Factor(ULONG factor) {
        return V::Set16((short)(kShort ? factor << 1 : factor));
    }
    // (value * factor) / 128, saturating at 255.
    CAM_INLINE static T One(T value, T factor) {
        if constexpr (kShort) {
            return V::Min16(V::MulHighU16(V::template Left16<8>(value), factor), V::Set16(255));
        } else {
            // The high half of the product is non-zero only where the result passes 255.
            const T low = V::MulLow16(value, factor);
            const T overflow = V::WhereNonZero16(V::MulHighU16(value, factor), V::Set16(255));
            return V::Min16(V::Or(V::template Right16<7>(low), overflow), V::Set16(255));
        }
    }
    CAM_INLINE Channels<V> Apply(const Channels<V>& c) const {
        if constexpr (kMode == GainMode::kNeutral) {
            return c;
        } else if constexpr (kMode == GainMode::kRedBlue) {
            return {One(c.red, red), c.green, One(c.blue, blue)};
        } else {
            return {One(c.red, red), One(c.green, green), One(c.blue, blue)};
        }
    }
    // The same on channels' bytes in packed column order, which come back the same way. Each
    // byte is unpacked straight into the high half of a 16-bit lane, as the short product wants
    // it, and packing saturates the products to 255.
    CAM_INLINE static T OnBytes(T bytes, T factor) {
        static_assert(kShort, "large gains take the 32-bit matrix sums");
        return V::PackSatU16(V::MulHighU16(V::UnpackLow8(V::Zero(), bytes), factor),
                             V::MulHighU16(V::UnpackHigh8(V::Zero(), bytes), factor));
    }
    CAM_INLINE Channels<V> ApplyToBytes(const Channels<V>& c) const {
        if constexpr (kMode == GainMode::kNeutral) {
            return c;
        } else if constexpr (kMode == GainMode::kRedBlue) {
            return {OnBytes(c.red, red), c.green, OnBytes(c.blue, blue)};
        } else {
            return {OnBytes(c.red, red), OnBytes(c.green, green), OnBytes(c.blue, blue)};
        }
    }
};

struct FrameGains {
    ULONG factors[3];
    GainMode mode;
    explicit FrameGains(const ConversionParams* params)
        : factors{LaneGainFactor(params->frame_red_gain), LaneGainFactor(params->frame_green_gain),
                  LaneGainFactor(params->frame_blue_gain)},
          mode(ChooseGainMode(factors)) {}
};

// A channel's even and odd columns as bytes, saturated to 0..255: the even columns' bytes first,
// then the odd ones', in each 16-byte lane.
template <class V>
CAM_INLINE typename V::T PackColumns(typename V::T even, typename V::T odd) {
    return V::PackSatU16(even, odd);
}

template <class V>
CAM_INLINE Channels<V> PackChannels(const Channels<V>& even, const Channels<V>& odd) {
    return {PackColumns<V>(even.red, odd.red), PackColumns<V>(even.green, odd.green),
            PackColumns<V>(even.blue, odd.blue)};
}

// The order of a channel's sixteen bytes in each 16-byte lane.
enum BytesOrder { kPackedOrder, kPixelOrder };

template <class V>
struct Quads {
    typename V::T q[4];
};

// The block's pixels (blue, green, red, alpha bytes) from per-channel bytes, as the four vectors of
// four pixels each 128-bit lane holds, in pixel order.
template <class V, BytesOrder kOrder = kPackedOrder>
CAM_INLINE Quads<V> PixelQuads(typename V::T blue, typename V::T green, typename V::T red) {
    const auto alpha = V::Set8((char)0xFF);
    const auto bg_low = V::UnpackLow8(blue, green);
    const auto bg_high = V::UnpackHigh8(blue, green);
    const auto ra_low = V::UnpackLow8(red, alpha);
    const auto ra_high = V::UnpackHigh8(red, alpha);
    if constexpr (kOrder == kPixelOrder) {
        return {{V::UnpackLow16(bg_low, ra_low), V::UnpackHigh16(bg_low, ra_low),
                 V::UnpackLow16(bg_high, ra_high), V::UnpackHigh16(bg_high, ra_high)}};
    } else {
        const auto even_low = V::UnpackLow16(bg_low, ra_low);  // pixels 0, 2, 4, 6
        const auto even_high = V::UnpackHigh16(bg_low, ra_low);
        const auto odd_low = V::UnpackLow16(bg_high, ra_high);  // pixels 1, 3, 5, 7
        const auto odd_high = V::UnpackHigh16(bg_high, ra_high);
        return {{V::UnpackLow32(even_low, odd_low), V::UnpackHigh32(even_low, odd_low),
                 V::UnpackLow32(even_high, odd_high), V::UnpackHigh32(even_high, odd_high)}};
    }
}

// Where a sink's pixels go: the running position in the current row, which moves left when the
// row is mirrored, and whether the row's whole blocks go past the caches.
struct PixelCursor {
    ULONG* at;  // the next pixel; when mirrored, the pixel after it
    bool mirrored;
    bool stream;
};

// Row y of the destination. Whole blocks lie at multiples of 64 bytes from where the row starts
// (its right end when mirrored), so that one alignment test covers every register width.
inline PixelCursor RowCursor(const ImageDestination& destination, LONG y) {
    auto* start = (ULONG*)((PUCHAR)destination.first_row + y * destination.row_step);
    ULONG* anchor = destination.mirrored ? start + destination.width : start;
    return {anchor, destination.mirrored, destination.streaming && ((ULONG_PTR)anchor & 63) == 0};
}

template <class V, bool kStream>
CAM_INLINE VOID PutQuads(ULONG* out, const Quads<V>& p, bool mirrored) {
    if (mirrored) {
        V::template StoreQuads<kStream>(out, V::Mirror(p.q[3]), V::Mirror(p.q[2]),
                                        V::Mirror(p.q[1]), V::Mirror(p.q[0]));
    } else {
        V::template StoreQuads<kStream>(out, p.q[0], p.q[1], p.q[2], p.q[3]);
    }
}

// A whole run of blocks' pixels, the register's worth.
template <class V>
CAM_INLINE VOID PutBlock(PixelCursor& cursor, const Quads<V>& pixels) {
    ULONG* out = cursor.mirrored ? cursor.at - V::kPixels : cursor.at;
    if (cursor.stream) {
        PutQuads<V, true>(out, pixels, cursor.mirrored);
    } else {
        PutQuads<V, false>(out, pixels, cursor.mirrored);
    }
    cursor.at = cursor.mirrored ? out : out + V::kPixels;
}

// A short block goes through a scratch block, so nothing is written past the row.
template <class V>
CAM_INLINE VOID PutFirst(PixelCursor& cursor, const Quads<V>& pixels, LONG count) {
    alignas(64) ULONG scratch[V::kPixels];
    V::StoreQuads(scratch, pixels.q[0], pixels.q[1], pixels.q[2], pixels.q[3]);
    if (cursor.mirrored) {
        cursor.at -= count;
        for (LONG i = 0; i < count; ++i)
            cursor.at[count - 1 - i] = scratch[i];
    } else {
        for (LONG i = 0; i < count; ++i)
            cursor.at[i] = scratch[i];
        cursor.at += count;
    }
}

// The matrix coefficients split by sign, so that no signed multiply is needed. The positive and
// the negative sum of a channel are formed apart. Where neither can pass 16 bits for any input,
// 16-bit lanes hold them; otherwise (strong contrast and brightness do that at legal settings)
// they are formed in 32-bit lanes.
struct MatrixSplit {
    ULONG plus[3][4];
    ULONG minus[3][4];
    bool narrow;  // every sum fits 16 bits
    bool wide;    // every colour magnitude fits a signed 16-bit multiplier
    bool bytes;   // narrow, and every colour magnitude fits a byte multiplier (see ByteMatrix)
    bool byte_constants;  // bytes, and every constant magnitude is a byte too
    // byte_constants, and the shape of a colour correction: each output's positive sum is its own
    // input alone, its negative sum the other two, and there are no constants.
    bool correction;
};

inline MatrixSplit SplitMatrix(const LONG* matrix, const bool* positive) {
    MatrixSplit split = {};
    split.narrow = true;
    split.wide = true;
    split.bytes = true;
    split.byte_constants = true;
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 4; ++i) {
            const ULONG magnitude = LaneMagnitude(matrix[4 * i + j]);
            if (i < 3 && magnitude > 0x7FFF)
                split.wide = false;
            (positive[4 * i + j] ? split.plus : split.minus)[j][i] = magnitude;
        }
        auto fits = [](const ULONG* sum) {
            return 255 * (sum[0] + sum[1] + sum[2]) + sum[3] <= 0xFFFF;
        };
        if (!fits(split.plus[j]) || !fits(split.minus[j]))
            split.narrow = false;
        auto fits_bytes = [](const ULONG* sum) {
            return sum[0] <= 127 && sum[1] <= 127 && sum[2] <= 127 &&
                   255 * (sum[0] + sum[1]) <= 0x7FFF;
        };
        if (!fits_bytes(split.plus[j]) || !fits_bytes(split.minus[j]))
            split.bytes = false;
        if (split.plus[j][3] > 127 || split.minus[j][3] > 127)
            split.byte_constants = false;
    }
    split.bytes = split.bytes && split.narrow;
    split.byte_constants = split.byte_constants && split.bytes;
    split.correction = split.byte_constants;
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 4; ++i) {
            if ((i != j && split.plus[j][i] != 0) || ((i == j || i == 3) && split.minus[j][i] != 0))
                split.correction = false;
        }
    }
    return split;
}

// The quotient of a positive 16-bit sum by 64, less that of the negative one, or 0.
template <class V>
CAM_INLINE typename V::T QuotientDifference(typename V::T plus, typename V::T minus) {
    return V::SubSatU16(V::template Right16<6>(plus), V::template Right16<6>(minus));
}

template <class V>
struct NarrowMatrix {
    static constexpr bool kPacksInputs = false;
    typename V::T plus[3][4];
    typename V::T minus[3][4];
    CAM_INLINE explicit NarrowMatrix(const MatrixSplit& split) {
        for (int j = 0; j < 3; ++j) {
            for (int i = 0; i < 4; ++i) {
                plus[j][i] = V::Set16((short)split.plus[j][i]);
                minus[j][i] = V::Set16((short)split.minus[j][i]);
            }
        }
    }
    CAM_INLINE static typename V::T Sum(const Channels<V>& in, const typename V::T* m) {
        return V::Add16(V::Add16(V::MulLow16(in.red, m[0]), V::MulLow16(in.green, m[1])),
                        V::Add16(V::MulLow16(in.blue, m[2]), m[3]));
    }
    CAM_INLINE Channels<V> Apply(const Channels<V>& in) const {
        typename V::T out[3];
        for (int j = 0; j < 3; ++j) {
            out[j] = QuotientDifference<V>(Sum(in, plus[j]), Sum(in, minus[j]));
        }
        return {out[0], out[1], out[2]};
    }
    template <class G>
    CAM_INLINE Channels<V> Pack(const Channels<V>& even, const Channels<V>& odd,
                                const G& gains) const {
        return PackChannels<V>(Apply(gains.Apply(even)), Apply(gains.Apply(odd)));
    }
};

#if defined(CAM_BYTE_MULTIPLY)
// The 16-bit sums of NarrowMatrix from byte multiplies that weigh two terms at once: red with
// green, and blue with the constant where that is a byte too (otherwise it is added apart). The
// channels are packed to bytes first, which saturates them to 0..255, so unclamped kernel values
// may come in; the gains apply to those bytes. Exact where every magnitude is a byte and no pair of
// terms passes 15 bits.
template <class V, bool kConstantInPair>
struct ByteMatrix {
    static constexpr bool kPacksInputs = true;
    using T = typename V::T;
    T plus_red_green[3], plus_blue[3], plus_constant[3];
    T minus_red_green[3], minus_blue[3], minus_constant[3];
    CAM_INLINE explicit ByteMatrix(const MatrixSplit& split) {
        for (int j = 0; j < 3; ++j) {
            const ULONG* p = split.plus[j];
            const ULONG* m = split.minus[j];
            plus_red_green[j] = V::Set16((short)(p[0] | p[1] << 8));
            minus_red_green[j] = V::Set16((short)(m[0] | m[1] << 8));
            plus_blue[j] = V::Set16((short)(kConstantInPair ? p[2] | p[3] << 8 : p[2]));
            minus_blue[j] = V::Set16((short)(kConstantInPair ? m[2] | m[3] << 8 : m[2]));
            plus_constant[j] = V::Set16((short)p[3]);
            minus_constant[j] = V::Set16((short)m[3]);
        }
    }
    CAM_INLINE static T Sum(T red_green, T blue_one, T red_green_factors, T blue_factors) {
        return V::Add16(V::MulAddBytes(red_green, red_green_factors),
                        V::MulAddBytes(blue_one, blue_factors));
    }
    // The quotient of P, less that of N, or 0; from 16-bit lanes of (red, green) and (blue, 1).
    template <int kJ>
    CAM_INLINE typename V::T Output(T red_green, T blue_one) const {
        T plus = Sum(red_green, blue_one, plus_red_green[kJ], plus_blue[kJ]);
        T minus = Sum(red_green, blue_one, minus_red_green[kJ], minus_blue[kJ]);
        if constexpr (!kConstantInPair) {
            plus = V::Add16(plus, plus_constant[kJ]);
            minus = V::Add16(minus, minus_constant[kJ]);
        }
        return QuotientDifference<V>(plus, minus);
    }
    template <class G>
    CAM_INLINE Channels<V> Pack(const Channels<V>& even, const Channels<V>& odd,
                                const G& gains) const {
        const Channels<V> bytes = gains.ApplyToBytes(PackChannels<V>(even, odd));
        const T red = bytes.red;
        const T green = bytes.green;
        const T blue = bytes.blue;
        const T one = kConstantInPair ? V::Set8(1) : V::Zero();
        // The low eight bytes of each lane are the even columns, the high eight the odd ones.
        const T red_green[2] = {V::UnpackLow8(red, green), V::UnpackHigh8(red, green)};
        const T blue_one[2] = {V::UnpackLow8(blue, one), V::UnpackHigh8(blue, one)};
        return {PackColumns<V>(Output<0>(red_green[0], blue_one[0]),
                               Output<0>(red_green[1], blue_one[1])),
                PackColumns<V>(Output<1>(red_green[0], blue_one[0]),
                               Output<1>(red_green[1], blue_one[1])),
                PackColumns<V>(Output<2>(red_green[0], blue_one[0]),
                               Output<2>(red_green[1], blue_one[1]))};
    }
};
template <class V>
using ByteMatrixConstantApart = ByteMatrix<V, false>;
template <class V>
using ByteMatrixConstantInPair = ByteMatrix<V, true>;

// A matrix in the shape of a colour correction (see MatrixSplit) from the channels' bytes in three
// pairs, red with green, green with blue and blue with red: output j's negative terms are the pair
// that starts after its own channel, one byte multiply, and its positive term the first byte of
// its own channel's pair, one more. A negative sum of red's or green's that saturates the multiply
// (32767) has a quotient of 511 or more, above any positive one (127 * 255 / 64), so the output is
// 0 as it would be unsaturated; blue's pair is red with green, which the byte matrices' bound keeps
// from saturating.
template <class V>
struct CorrectionMatrix {
    static constexpr bool kPacksInputs = true;
    using T = typename V::T;
    T plus[3], minus[3];
    CAM_INLINE explicit CorrectionMatrix(const MatrixSplit& split) {
        for (int j = 0; j < 3; ++j) {
            const int next = (j + 1) % 3;
            const int after_next = (j + 2) % 3;
            plus[j] = V::Set16((short)split.plus[j][j]);
            minus[j] = V::Set16((short)(split.minus[j][next] | split.minus[j][after_next] << 8));
        }
    }
    template <class G>
    CAM_INLINE Channels<V> Pack(const Channels<V>& even, const Channels<V>& odd,
                                const G& gains) const {
        const Channels<V> bytes = gains.ApplyToBytes(PackChannels<V>(even, odd));
        const T channel[3] = {bytes.red, bytes.green, bytes.blue};
        T out[3];
        for (int j = 0; j < 3; ++j) {
            T half[2];
            for (int h = 0; h < 2; ++h) {
                // The low eight bytes of each lane are the even columns, the high eight the odd.
                auto pair = [&](int k) __attribute__((always_inline)) {
                    const T first = channel[k];
                    const T second = channel[(k + 1) % 3];
                    return h == 0 ? V::UnpackLow8(first, second) : V::UnpackHigh8(first, second);
                };
                const T positive = V::MulAddBytes(pair(j), plus[j]);
                const T negative = V::MulAddBytes(pair((j + 1) % 3), minus[j]);
                half[h] = QuotientDifference<V>(positive, negative);
            }
            out[j] = PackColumns<V>(half[0], half[1]);
        }
        return {out[0], out[1], out[2]};
    }
};
#endif

template <class V>
struct WideMatrix {
    static constexpr bool kPacksInputs = false;
    struct Output {
        typename V::T plus_red_green, plus_blue, plus_constant;
        typename V::T minus_red_green, minus_blue, minus_constant;
    };
    Output output[3];
    CAM_INLINE explicit WideMatrix(const MatrixSplit& split) {
        for (int j = 0; j < 3; ++j) {
            const ULONG* p = split.plus[j];
            const ULONG* m = split.minus[j];
            output[j] = {
                V::Set32((int)(p[0] | p[1] << 16)), V::Set32((int)p[2]), V::Set32((int)p[3]),
                V::Set32((int)(m[0] | m[1] << 16)), V::Set32((int)m[2]), V::Set32((int)m[3])};
        }
    }
    CAM_INLINE static typename V::T Quarter(typename V::T red_green, typename V::T blue,
                                            const Output& o) {
        const auto plus = V::Add32(
            V::Add32(V::MulAdd16(red_green, o.plus_red_green), V::MulAdd16(blue, o.plus_blue)),
            o.plus_constant);
        const auto minus = V::Add32(
            V::Add32(V::MulAdd16(red_green, o.minus_red_green), V::MulAdd16(blue, o.minus_blue)),
            o.minus_constant);
        return V::Sub32(V::template Right32<6>(plus), V::template Right32<6>(minus));
    }
    CAM_INLINE Channels<V> Apply(const Channels<V>& in) const {
        const auto zero = V::Zero();
        const auto rg_low = V::UnpackLow16(in.red, in.green);
        const auto rg_high = V::UnpackHigh16(in.red, in.green);
        const auto b_low = V::UnpackLow16(in.blue, zero);
        const auto b_high = V::UnpackHigh16(in.blue, zero);
        typename V::T out[3];
        for (int j = 0; j < 3; ++j) {
            out[j] = V::PackSat32(Quarter(rg_low, b_low, output[j]),
                                  Quarter(rg_high, b_high, output[j]));
        }
        return {out[0], out[1], out[2]};
    }
    template <class G>
    CAM_INLINE Channels<V> Pack(const Channels<V>& even, const Channels<V>& odd,
                                const G& gains) const {
        return PackChannels<V>(Apply(gains.Apply(even)), Apply(gains.Apply(odd)));
    }
};

// The matrix outputs are left unclamped: packing them to bytes saturates them to 0..255.

// A sink turns blocks into output. For each run of blocks of one width in a row it hands out an
// emitter, Begin<V>(), that holds its own copies of the frame's constants and running state, so
// they stay in registers for the run; End() takes the running state back.

// Two rows share four of their six work-buffer rows, which pays in the wider registers. The 128-bit
// walk has too few registers for both rows' colours. In 512-bit registers pairing grows a walk's
// stack frame by 250 to 550 bytes: the narrow matrix's then needs a stack probe, which the driver
// image does not link, and the other matrices' would pass 3 KiB of a kernel stack. A colour
// correction's, the conversion at default settings, stays under 1.5 KiB paired.
template <class W, class Matrix>
inline constexpr bool kPairedColourRows = false;
#if defined(__AVX2__)
template <class Matrix>
inline constexpr bool kPairedColourRows<Widths<NoWidth, Avx2>, Matrix> = true;
#endif
#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__)
template <>
inline constexpr bool kPairedColourRows<Widths<Avx512, Avx2>, CorrectionMatrix<Sse2>> = true;
#endif

template <template <class> class MatrixKind, GainMode kGain>
struct ColourSink {
    // A byte matrix clamps as it packs, before the gains.
    static constexpr bool kClamped = !MatrixKind<Sse2>::kPacksInputs;
    template <class W>
    static constexpr bool kRowPairs = kPairedColourRows<W, MatrixKind<Sse2>>;
    const MatrixSplit* split;
    const ULONG* factors;
    const ImageDestination* destination;
    PixelCursor cursor[2];

    VOID StartRow(LONG y) { cursor[0] = RowCursor(*destination, y); }
    VOID StartRows(LONG y) {
        cursor[0] = RowCursor(*destination, y);
        cursor[1] = RowCursor(*destination, y + 1);
    }

    template <class V>
    struct Emitter {
        Gains<V, kGain> gains;
        MatrixKind<V> matrix;
        PixelCursor cursor[2];
        CAM_INLINE Quads<V> Pixels(const Block<V>& block) const {
            const Channels<V> c = matrix.Pack(block.even, block.odd, gains);
            return PixelQuads<V>(c.blue, c.green, c.red);
        }
        template <int kRow>
        CAM_INLINE VOID Full(const Block<V>& block) {
            PutBlock<V>(cursor[kRow], Pixels(block));
        }
        template <int kRow>
        CAM_INLINE VOID Tail(const Block<V>& block, LONG count) {
            PutFirst<V>(cursor[kRow], Pixels(block), count);
        }
    };
    template <class V>
    CAM_INLINE Emitter<V> Begin() const {
        return {Gains<V, kGain>(factors), MatrixKind<V>(*split), {cursor[0], cursor[1]}};
    }
    template <class V>
    CAM_INLINE VOID End(const Emitter<V>& emitter) {
        cursor[0] = emitter.cursor[0];
        cursor[1] = emitter.cursor[1];
    }
};

template <class V>
CAM_INLINE typename V::T Luminance(const Channels<V>& c) {
    auto weighted = [](typename V::T v, short weight) __attribute__((always_inline)) {
        return V::template Right16<8>(V::MulLow16(v, V::Set16(weight)));
    };
    return V::Add16(V::Add16(weighted(c.red, 77), weighted(c.green, 150)), weighted(c.blue, 29));
}

// The same from bytes moved into the high half of their lanes, where one high-half multiply
// gives (value * weight) / 256.
template <class V>
CAM_INLINE typename V::T LuminanceOfHighBytes(const Channels<V>& c) {
    auto weighted = [](typename V::T v, short weight) __attribute__((always_inline)) {
        return V::MulHighU16(v, V::Set16(weight));
    };
    return V::Add16(V::Add16(weighted(c.red, 77), weighted(c.green, 150)), weighted(c.blue, 29));
}

// Sixteen 16-bit lanes of one channel back in pixel order, one byte each.
template <class V>
CAM_INLINE typename V::T Interleave(typename V::T even, typename V::T odd) {
    return V::Or(even, V::template Left16<8>(odd));
}

template <GainMode kGain>
struct GreySink {
    // Below 2^14 the gains apply to packed bytes, which clamps the kernels.
    static constexpr bool kClamped = kGain == GainMode::kGeneral;
    template <class W>
    static constexpr bool kRowPairs = false;
    const ULONG* factors;
    const ImageDestination* destination;
    PixelCursor cursor;

    VOID StartRow(LONG y) { cursor = RowCursor(*destination, y); }

    template <class V>
    struct Emitter {
        using T = typename V::T;
        Gains<V, kGain> gains;
        PixelCursor cursor;
        // One byte per pixel, in pixel order.
        CAM_INLINE T Grey(const Block<V>& block) const {
            if constexpr (kClamped) {
                return Interleave<V>(Luminance<V>(gains.Apply(block.even)),
                                     Luminance<V>(gains.Apply(block.odd)));
            } else {
                const Channels<V> bytes =
                    gains.ApplyToBytes(PackChannels<V>(block.even, block.odd));
                const T zero = V::Zero();
                const Channels<V> even = {V::UnpackLow8(zero, bytes.red),
                                          V::UnpackLow8(zero, bytes.green),
                                          V::UnpackLow8(zero, bytes.blue)};
                const Channels<V> odd = {V::UnpackHigh8(zero, bytes.red),
                                         V::UnpackHigh8(zero, bytes.green),
                                         V::UnpackHigh8(zero, bytes.blue)};
                return Interleave<V>(LuminanceOfHighBytes<V>(even), LuminanceOfHighBytes<V>(odd));
            }
        }
        CAM_INLINE Quads<V> Pixels(const Block<V>& block) const {
            const T grey = Grey(block);
            return PixelQuads<V, kPixelOrder>(grey, grey, grey);
        }
        template <int kRow>
        CAM_INLINE VOID Full(const Block<V>& block) {
            PutBlock<V>(cursor, Pixels(block));
        }
        template <int kRow>
        CAM_INLINE VOID Tail(const Block<V>& block, LONG count) {
            PutFirst<V>(cursor, Pixels(block), count);
        }
    };
    template <class V>
    CAM_INLINE Emitter<V> Begin() const {
        return {Gains<V, kGain>(factors), cursor};
    }
    template <class V>
    CAM_INLINE VOID End(const Emitter<V>& emitter) {
        cursor = emitter.cursor;
    }
};

// Adds the blocks' channel values into 64-bit lanes, one accumulator per channel. The kernels
// come unclamped; packing the even and odd columns to bytes clamps them, in a column order that
// a sum does not mind.
struct SumSink {
    static constexpr bool kClamped = false;
    template <class W>
    static constexpr bool kRowPairs = true;
    ULONG64 red = 0;
    ULONG64 green = 0;
    ULONG64 blue = 0;

    VOID StartRow(LONG) {}
    VOID StartRows(LONG) {}

    template <class V>
    struct Emitter {
        typename V::T red, green, blue;
        CAM_INLINE static VOID Add(typename V::T& total, typename V::T bytes) {
            total = V::Add64(total, V::SumBytes(bytes));
        }
        template <int kRow>
        CAM_INLINE VOID Full(const Block<V>& block) {
            Add(red, PackColumns<V>(block.even.red, block.odd.red));
            Add(green, PackColumns<V>(block.even.green, block.odd.green));
            Add(blue, PackColumns<V>(block.even.blue, block.odd.blue));
        }
        // Only the image's own columns count, so the totals never depend on bytes beyond the
        // border.
        template <int kRow>
        CAM_INLINE VOID Tail(const Block<V>& block, LONG count) {
            const auto keep = V::PackedColumnsBelow(count);
            Add(red, V::And(PackColumns<V>(block.even.red, block.odd.red), keep));
            Add(green, V::And(PackColumns<V>(block.even.green, block.odd.green), keep));
            Add(blue, V::And(PackColumns<V>(block.even.blue, block.odd.blue), keep));
        }
    };
    template <class V>
    CAM_INLINE Emitter<V> Begin() const {
        return {V::Zero(), V::Zero(), V::Zero()};
    }
    template <class V>
    CAM_INLINE VOID End(const Emitter<V>& emitter) {
        red += V::Total64(emitter.red);
        green += V::Total64(emitter.green);
        blue += V::Total64(emitter.blue);
    }
};

// What one step along a row interpolates: a block of one row, or the blocks of two neighbouring
// rows, which share four of their six work-buffer rows and so the loads and splits of those.
template <Site kEven, Site kOdd>
struct OneRow {
    template <class V, bool kClamped, class Emitter>
    CAM_INLINE static VOID Full(Emitter& emitter, const UCHAR* block, LONG stride) {
        emitter.template Full<0>(InterpolateBlock<V, kEven, kOdd, kClamped>(block, stride));
    }
    template <class V, bool kClamped, class Emitter>
    CAM_INLINE static VOID Tail(Emitter& emitter, const UCHAR* block, LONG stride, LONG count) {
        emitter.template Tail<0>(InterpolateBlock<V, kEven, kOdd, kClamped>(block, stride), count);
    }
};

template <Site kEven, Site kOdd, Site kNextEven, Site kNextOdd>
struct TwoRows {
    template <class V, bool kClamped>
    struct Blocks {
        Block<V> first, second;
    };
    template <class V, bool kClamped>
    CAM_INLINE static Blocks<V, kClamped> Interpolate(const UCHAR* block, LONG stride) {
        const RowSamples<V> rows[6] = {LoadRow<V>(block - 2 * stride),
                                       LoadRow<V>(block - stride),
                                       LoadRow<V>(block),
                                       LoadRow<V>(block + stride),
                                       LoadRow<V>(block + 2 * stride),
                                       LoadRow<V>(block + 3 * stride)};
        const Neighbourhood<V> first = {rows[0], rows[1], rows[2], rows[3], rows[4]};
        const Neighbourhood<V> second = {rows[1], rows[2], rows[3], rows[4], rows[5]};
        return {{InterpolateLanes<V, kEven, 2, kClamped>(first),
                 InterpolateLanes<V, kOdd, 3, kClamped>(first)},
                {InterpolateLanes<V, kNextEven, 2, kClamped>(second),
                 InterpolateLanes<V, kNextOdd, 3, kClamped>(second)}};
    }
    template <class V, bool kClamped, class Emitter>
    CAM_INLINE static VOID Full(Emitter& emitter, const UCHAR* block, LONG stride) {
        const auto blocks = Interpolate<V, kClamped>(block, stride);
        emitter.template Full<0>(blocks.first);
        emitter.template Full<1>(blocks.second);
    }
    template <class V, bool kClamped, class Emitter>
    CAM_INLINE static VOID Tail(Emitter& emitter, const UCHAR* block, LONG stride, LONG count) {
        const auto blocks = Interpolate<V, kClamped>(block, stride);
        emitter.template Tail<0>(blocks.first, count);
        emitter.template Tail<1>(blocks.second, count);
    }
};

template <class V, class Rows, class Sink>
CAM_INLINE LONG WalkRun(const UCHAR* row, LONG stride, LONG b, LONG end, Sink& sink) {
    constexpr LONG kBlocks = V::kPixels / 16;
    if (b + kBlocks <= end) {
        auto emitter = sink.template Begin<V>();
        for (; b + kBlocks <= end; b += kBlocks) {
            Rows::template Full<V, Sink::kClamped>(emitter, row + 16 * b, stride);
        }
        sink.End(emitter);
    }
    return b;
}

// A row (or two) in 16-pixel blocks from the left, the widest registers first. The sink receives
// each run of whole blocks, and a short last block with its pixel count.
template <class W, class Rows, class Sink>
VOID WalkRow(const UCHAR* row, LONG stride, LONG width, Sink& sink) {
    const LONG full_blocks = width / 16;
    const LONG tail = width % 16;
    LONG b = 0;
    if constexpr (!IsSameType<typename W::Quad, NoWidth>::value) {
        b = WalkRun<typename W::Quad, Rows>(row, stride, b, full_blocks, sink);
    }
    if constexpr (!IsSameType<typename W::Pair, NoWidth>::value) {
        b = WalkRun<typename W::Pair, Rows>(row, stride, b, full_blocks, sink);
    }
    if (b < full_blocks || tail != 0) {
        auto emitter = sink.template Begin<Sse2>();
        for (; b < full_blocks; ++b) {
            Rows::template Full<Sse2, Sink::kClamped>(emitter, row + 16 * b, stride);
        }
        if (tail != 0) {
            Rows::template Tail<Sse2, Sink::kClamped>(emitter, row + 16 * full_blocks, stride,
                                                      tail);
        }
        sink.End(emitter);
    }
}

// The four kinds of row, by the site of their even columns, which fixes that of their odd ones.
template <Site kEven>
inline constexpr Site kOddSite = kEven == Site::kGreenRed ? Site::kRed
                                 : kEven == Site::kRed    ? Site::kGreenRed
                                 : kEven == Site::kBlue   ? Site::kGreenBlue
                                                          : Site::kBlue;

template <class W, Site kEven, class Sink>
VOID WalkOneRow(LONG stride, LONG width, const UCHAR* row, Sink& sink) {
    WalkRow<W, OneRow<kEven, kOddSite<kEven>>>(row, stride, width, sink);
}

template <class W, class Sink>
VOID WalkOneRow(LONG stride, LONG width, Site even, const UCHAR* row, Sink& sink) {
    switch (even) {
        case Site::kGreenRed:
            WalkOneRow<W, Site::kGreenRed>(stride, width, row, sink);
            break;
        case Site::kRed:
            WalkOneRow<W, Site::kRed>(stride, width, row, sink);
            break;
        case Site::kBlue:
            WalkOneRow<W, Site::kBlue>(stride, width, row, sink);
            break;
        case Site::kGreenBlue:
            WalkOneRow<W, Site::kGreenBlue>(stride, width, row, sink);
            break;
    }
}

// Rows top to bottom, one at a time, or in pairs for a sink that takes them so (an odd last row
// goes alone). The phase only decides which kind each row is. The walk covers the first `width`
// columns of the first `height` rows: a pixel's value depends only on the samples around it, so
// the columns and rows left out change nothing in those walked.
template <class W, class Sink>
VOID WalkFrame(const ConversionParams* params, LONG phase, LONG width, LONG height, Sink& sink) {
    const LONG normal = LanePhase(phase);
    const auto& sites = kPhaseSites[normal];
    const LONG stride = params->stride;
    LONG y = 0;
    if constexpr (Sink::template kRowPairs<W>) {
        auto pairs = [&]<LONG kPhase>() {
            constexpr Site kFirst = kPhaseSites[kPhase][0][0];
            constexpr Site kSecond = kPhaseSites[kPhase][1][0];
            using Rows = TwoRows<kFirst, kOddSite<kFirst>, kSecond, kOddSite<kSecond>>;
            for (; y + 1 < height; y += 2) {
                sink.StartRows(y);
                WalkRow<W, Rows>(params->origin + (LONG_PTR)y * stride, stride, width, sink);
            }
        };
        switch (normal) {
            case 0:
                pairs.template operator()<0>();
                break;
            case 1:
                pairs.template operator()<1>();
                break;
            case 2:
                pairs.template operator()<2>();
                break;
            default:
                pairs.template operator()<3>();
                break;
        }
    }
    for (; y < height; ++y) {
        sink.StartRow(y);
        WalkOneRow<W>(stride, width, sites[y & 1][0], params->origin + (LONG_PTR)y * stride, sink);
    }
}

// The conversions' walk: what the destination takes.
template <class W, class Sink>
VOID WalkDestination(const ConversionParams* params, LONG phase,
                     const ImageDestination& destination, Sink& sink) {
    WalkFrame<W>(params, phase, destination.width, destination.height, sink);
}

template <class W, template <class> class MatrixKind, GainMode kGain>
VOID ConvertColourWith(const ConversionParams* params, const MatrixSplit& split,
                       const FrameGains& gains, LONG phase, const ImageDestination& destination) {
    ColourSink<MatrixKind, kGain> sink{&split, gains.factors, &destination, {}};
    WalkDestination<W>(params, phase, destination, sink);
}

#if defined(CAM_BYTE_MULTIPLY)
template <class W, GainMode kGain>
VOID ConvertColourWithBytes(const ConversionParams* params, const MatrixSplit& split,
                            const FrameGains& gains, LONG phase,
                            const ImageDestination& destination) {
    if (split.correction) {
        ConvertColourWith<W, CorrectionMatrix, kGain>(params, split, gains, phase, destination);
    } else if (split.byte_constants) {
        ConvertColourWith<W, ByteMatrixConstantInPair, kGain>(params, split, gains, phase,
                                                              destination);
    } else {
        ConvertColourWith<W, ByteMatrixConstantApart, kGain>(params, split, gains, phase,
                                                             destination);
    }
}
#endif

template <class W, GainMode kGain>
VOID ConvertColourWithGains(const ConversionParams* params, const MatrixSplit& split,
                            const FrameGains& gains, LONG phase,
                            const ImageDestination& destination) {
#if defined(CAM_BYTE_MULTIPLY)
    if (split.bytes) {
        ConvertColourWithBytes<W, kGain>(params, split, gains, phase, destination);
        return;
    }
#endif
    if (split.narrow) {
        ConvertColourWith<W, NarrowMatrix, kGain>(params, split, gains, phase, destination);
    } else {
        ConvertColourWith<W, WideMatrix, kGain>(params, split, gains, phase, destination);
    }
}

// Gains of 2^14 and more come only from white balance on extreme frames; they take the 32-bit
// matrix sums whatever the matrix, which keeps the number of variants down.
template <class W>
VOID ConvertColourVector(const ConversionParams* params, const bool* matrix_positive, LONG phase,
                         const ImageDestination& destination) {
    const MatrixSplit split = SplitMatrix(params->matrix, matrix_positive);
    const FrameGains gains(params);
    if (!split.wide) {
        ConvertBayerToBgrxScalar(params, matrix_positive, phase, &destination);
    } else if (gains.mode == GainMode::kNeutral) {
        ConvertColourWithGains<W, GainMode::kNeutral>(params, split, gains, phase, destination);
#if defined(CAM_BYTE_MULTIPLY)
    } else if (gains.mode == GainMode::kRedBlue && split.bytes) {
        ConvertColourWithBytes<W, GainMode::kRedBlue>(params, split, gains, phase, destination);
#endif
    } else if (gains.mode != GainMode::kGeneral) {
        ConvertColourWithGains<W, GainMode::kSmall>(params, split, gains, phase, destination);
    } else {
        ConvertColourWith<W, WideMatrix, GainMode::kGeneral>(params, split, gains, phase,
                                                             destination);
    }
}

template <class W>
VOID ConvertGreyVector(const ConversionParams* params, LONG phase,
                       const ImageDestination& destination) {
    const FrameGains gains(params);
    switch (gains.mode) {
        case GainMode::kNeutral: {
            GreySink<GainMode::kNeutral> sink{gains.factors, &destination, {}};
            WalkDestination<W>(params, phase, destination, sink);
            break;
        }
        case GainMode::kRedBlue:
        case GainMode::kSmall: {
            GreySink<GainMode::kSmall> sink{gains.factors, &destination, {}};
            WalkDestination<W>(params, phase, destination, sink);
            break;
        }
        case GainMode::kGeneral: {
            GreySink<GainMode::kGeneral> sink{gains.factors, &destination, {}};
            WalkDestination<W>(params, phase, destination, sink);
            break;
        }
    }
}

template <class W>
VOID SumChannelsVector(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    SumSink sink;
    WalkFrame<W>(params, phase, params->width, params->height, sink);
    totals->red = (ULONG)sink.red;
    totals->green = (ULONG)sink.green;
    totals->blue = (ULONG)sink.blue;
}

}  // namespace
