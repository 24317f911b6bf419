// The vector conversions for one register width, 16 pixels per 128 bits: even and odd columns of
// a block in 16-bit lanes. Included by one source file per instruction set. Everything here has
// internal linkage, so code built for a wider instruction set never stands in for the narrower
// build of the same template.
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

template <class V>
inline RowSamples<V> LoadRow(const UCHAR* block) {
    using T = typename V::T;
    const T low_bytes = V::Set16(0x00FF);
    const T left = V::Load(block - 2);
    const T centre = V::Load(block);
    const T right = V::Load(block + 2);
    return {{V::And(left, low_bytes), V::template Right16<8>(left), V::And(centre, low_bytes),
             V::template Right16<8>(centre), V::And(right, low_bytes),
             V::template Right16<8>(right)}};
}

template <class V>
struct Neighbourhood {
    RowSamples<V> up2, up1, row, down1, down2;
};

template <class V, int kShift>
inline typename V::T Finish(typename V::T sum, short rounding) {
    const auto value =
        V::template Right16<kShift>(V::Add16(V::Max16(sum, V::Zero()), V::Set16(rounding)));
    return V::Min16(value, V::Set16(255));
}

template <class V>
struct Channels {
    typename V::T red, green, blue;
};

template <class V, Site kSite, int kBase>
inline Channels<V> InterpolateLanes(const Neighbourhood<V>& n) {
    using T = typename V::T;
    const T* r0 = n.row.column;
    const T centre = r0[kBase];
    const T horizontal_near = V::Add16(r0[kBase - 1], r0[kBase + 1]);
    const T horizontal_far = V::Add16(r0[kBase - 2], r0[kBase + 2]);
    const T vertical_near = V::Add16(n.up1.column[kBase], n.down1.column[kBase]);
    const T vertical_far = V::Add16(n.up2.column[kBase], n.down2.column[kBase]);
    auto diagonals = [&] {
        return V::Add16(V::Add16(n.up1.column[kBase - 1], n.up1.column[kBase + 1]),
                        V::Add16(n.down1.column[kBase - 1], n.down1.column[kBase + 1]));
    };
    auto kg = [&] {
        const T plus = V::Add16(V::template Left16<2>(centre),
                                V::template Left16<1>(V::Add16(horizontal_near, vertical_near)));
        return Finish<V, 3>(V::Sub16(plus, V::Add16(horizontal_far, vertical_far)), 4);
    };
    auto kd = [&] {
        const T far = V::Add16(horizontal_far, vertical_far);
        const T plus =
            V::Add16(V::Add16(V::template Left16<3>(centre), V::template Left16<2>(centre)),
                     V::template Left16<2>(diagonals()));
        return Finish<V, 4>(V::Sub16(plus, V::Add16(V::template Left16<1>(far), far)), 8);
    };
    const T ten_centre = V::Add16(V::template Left16<3>(centre), V::template Left16<1>(centre));
    // Towards the near pair: the far pair across adds, the far pair along subtracts.
    auto directional = [&](T near, T across_far, T along_far) {
        const T plus = V::Add16(V::Add16(ten_centre, V::template Left16<3>(near)), across_far);
        const T minus = V::template Left16<1>(V::Add16(diagonals(), along_far));
        return Finish<V, 4>(V::Sub16(plus, minus), 8);
    };
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

// The block's two halves: lanes of the even and of the odd columns.
template <class V>
struct Block {
    Channels<V> even, odd;
};

template <class V, Site kEven, Site kOdd>
inline Block<V> InterpolateBlock(const UCHAR* block, LONG stride) {
    const Neighbourhood<V> n = {LoadRow<V>(block - 2 * stride), LoadRow<V>(block - stride),
                                LoadRow<V>(block), LoadRow<V>(block + stride),
                                LoadRow<V>(block + 2 * stride)};
    return {InterpolateLanes<V, kEven, 2>(n), InterpolateLanes<V, kOdd, 3>(n)};
}

// (value * factor) / 128, saturating at 255; the high half of the product flags saturation.
template <class V>
inline typename V::T Gain(typename V::T value, typename V::T factor) {
    const auto low = V::MulLow16(value, factor);
    const auto high = V::MulHighU16(value, factor);
    const auto overflow = V::AndNot(V::Equal16(high, V::Zero()), V::Set16(255));
    return V::Min16(V::Or(V::template Right16<7>(low), overflow), V::Set16(255));
}

template <class V>
struct GainFactors {
    typename V::T red, green, blue;
    explicit GainFactors(const ConversionParams* params)
        : red(V::Set16((short)LaneGainFactor(params->frame_red_gain))),
          green(V::Set16((short)LaneGainFactor(params->frame_green_gain))),
          blue(V::Set16((short)LaneGainFactor(params->frame_blue_gain))) {}
    Channels<V> Apply(const Channels<V>& c) const {
        return {Gain<V>(c.red, red), Gain<V>(c.green, green), Gain<V>(c.blue, blue)};
    }
};

// Sixteen 16-bit lanes of one channel back in pixel order, one byte each.
template <class V>
inline typename V::T Interleave(typename V::T even, typename V::T odd) {
    return V::Or(even, V::template Left16<8>(odd));
}

// Writes the block's pixels (blue, green, red, alpha bytes) from per-channel byte vectors.
template <class V>
inline VOID StorePixels(ULONG* out, typename V::T blue, typename V::T green, typename V::T red) {
    const auto alpha = V::Set8((char)0xFF);
    const auto bg_low = V::UnpackLow8(blue, green);
    const auto bg_high = V::UnpackHigh8(blue, green);
    const auto ra_low = V::UnpackLow8(red, alpha);
    const auto ra_high = V::UnpackHigh8(red, alpha);
    V::StoreQuads(out, V::UnpackLow16(bg_low, ra_low), V::UnpackHigh16(bg_low, ra_low),
                  V::UnpackLow16(bg_high, ra_high), V::UnpackHigh16(bg_high, ra_high));
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
};

inline MatrixSplit SplitMatrix(const LONG* matrix, const bool* positive) {
    MatrixSplit split = {};
    split.narrow = true;
    split.wide = true;
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
    }
    return split;
}

template <class V>
struct NarrowMatrix {
    typename V::T plus[3][4];
    typename V::T minus[3][4];
    explicit NarrowMatrix(const MatrixSplit& split) {
        for (int j = 0; j < 3; ++j) {
            for (int i = 0; i < 4; ++i) {
                plus[j][i] = V::Set16((short)split.plus[j][i]);
                minus[j][i] = V::Set16((short)split.minus[j][i]);
            }
        }
    }
    Channels<V> Apply(const Channels<V>& in) const {
        typename V::T out[3];
        for (int j = 0; j < 3; ++j) {
            auto sum = [&](const typename V::T* m) {
                return V::Add16(V::Add16(V::MulLow16(in.red, m[0]), V::MulLow16(in.green, m[1])),
                                V::Add16(V::MulLow16(in.blue, m[2]), m[3]));
            };
            // Unsigned saturating difference: the quotient of P, less that of N, or 0.
            out[j] = V::Min16(V::SubSatU16(V::template Right16<6>(sum(plus[j])),
                                           V::template Right16<6>(sum(minus[j]))),
                              V::Set16(255));
        }
        return {out[0], out[1], out[2]};
    }
};

template <class V>
struct WideMatrix {
    struct Output {
        typename V::T plus_red_green, plus_blue, plus_constant;
        typename V::T minus_red_green, minus_blue, minus_constant;
    };
    Output output[3];
    explicit WideMatrix(const MatrixSplit& split) {
        for (int j = 0; j < 3; ++j) {
            const ULONG* p = split.plus[j];
            const ULONG* m = split.minus[j];
            output[j] = {
                V::Set32((int)(p[0] | p[1] << 16)), V::Set32((int)p[2]), V::Set32((int)p[3]),
                V::Set32((int)(m[0] | m[1] << 16)), V::Set32((int)m[2]), V::Set32((int)m[3])};
        }
    }
    static typename V::T Quarter(typename V::T red_green, typename V::T blue, const Output& o) {
        const auto plus = V::Add32(
            V::Add32(V::MulAdd16(red_green, o.plus_red_green), V::MulAdd16(blue, o.plus_blue)),
            o.plus_constant);
        const auto minus = V::Add32(
            V::Add32(V::MulAdd16(red_green, o.minus_red_green), V::MulAdd16(blue, o.minus_blue)),
            o.minus_constant);
        return V::Sub32(V::template Right32<6>(plus), V::template Right32<6>(minus));
    }
    Channels<V> Apply(const Channels<V>& in) const {
        const auto zero = V::Zero();
        const auto rg_low = V::UnpackLow16(in.red, in.green);
        const auto rg_high = V::UnpackHigh16(in.red, in.green);
        const auto b_low = V::UnpackLow16(in.blue, zero);
        const auto b_high = V::UnpackHigh16(in.blue, zero);
        typename V::T out[3];
        for (int j = 0; j < 3; ++j) {
            const auto both = V::PackSat32(Quarter(rg_low, b_low, output[j]),
                                           Quarter(rg_high, b_high, output[j]));
            out[j] = V::Min16(V::Max16(both, zero), V::Set16(255));
        }
        return {out[0], out[1], out[2]};
    }
};

// Walks the image in 16-pixel blocks, two at a time in the wide registers while two whole blocks
// remain. The sink receives each block, and a short last block with its pixel count.
template <class Wide, class Narrow, LONG kPhase, typename Sink>
VOID ForEachBlock(const ConversionParams* params, Sink& sink) {
    const LONG width = params->width;
    const LONG stride = params->stride;
    const LONG full_blocks = width / 16;
    const LONG tail = width % 16;
    auto walk_row = [&]<Site kEven, Site kOdd>(const UCHAR* row) {
        LONG b = 0;
        if constexpr (!IsSameType<Wide, Narrow>::value) {
            for (; b + 2 <= full_blocks; b += 2) {
                sink.Full(InterpolateBlock<Wide, kEven, kOdd>(row + 16 * b, stride));
            }
        }
        for (; b < full_blocks; ++b) {
            sink.Full(InterpolateBlock<Narrow, kEven, kOdd>(row + 16 * b, stride));
        }
        if (tail != 0) {
            sink.Tail(InterpolateBlock<Narrow, kEven, kOdd>(row + 16 * full_blocks, stride), tail);
        }
    };
    constexpr Site kSites[2][2] = {{kPhaseSites[kPhase][0][0], kPhaseSites[kPhase][0][1]},
                                   {kPhaseSites[kPhase][1][0], kPhaseSites[kPhase][1][1]}};
    for (LONG y = 0; y < params->height; ++y) {
        const UCHAR* row = params->origin + (LONG_PTR)y * stride;
        if ((y & 1) == 0) {
            walk_row.template operator()<kSites[0][0], kSites[0][1]>(row);
        } else {
            walk_row.template operator()<kSites[1][0], kSites[1][1]>(row);
        }
    }
}

template <class Wide, class Narrow, typename Sink>
VOID DispatchPhase(const ConversionParams* params, LONG phase, Sink& sink) {
    switch (LanePhase(phase)) {
        case 0:
            ForEachBlock<Wide, Narrow, 0>(params, sink);
            break;
        case 1:
            ForEachBlock<Wide, Narrow, 1>(params, sink);
            break;
        case 2:
            ForEachBlock<Wide, Narrow, 2>(params, sink);
            break;
        default:
            ForEachBlock<Wide, Narrow, 3>(params, sink);
            break;
    }
}

// Per-width state of a sink: one for the wide registers, one for the narrow.
template <class Wide, class Narrow, template <class> class State>
struct BothWidths {
    State<Wide> wide;
    State<Narrow> narrow;
    template <class V>
    const State<V>& Get() const {
        if constexpr (IsSameType<V, Wide>::value) {
            return wide;
        } else {
            return narrow;
        }
    }
};

// Stores pixels at a running output position; a short block goes through a scratch block so
// nothing is written past the image.
struct PixelWriter {
    ULONG* out;
    template <class V>
    VOID Full(typename V::T blue, typename V::T green, typename V::T red) {
        StorePixels<V>(out, blue, green, red);
        out += V::kPixels;
    }
    template <class V>
    VOID Tail(typename V::T blue, typename V::T green, typename V::T red, LONG count) {
        alignas(32) ULONG scratch[V::kPixels];
        StorePixels<V>(scratch, blue, green, red);
        for (LONG i = 0; i < count; ++i)
            out[i] = scratch[i];
        out += count;
    }
};

template <template <class> class MatrixKind>
struct ColourState {
    template <class V>
    struct State {
        GainFactors<V> gains;
        MatrixKind<V> matrix;
        State(const ConversionParams* params, const MatrixSplit& split)
            : gains(params), matrix(split) {}
    };
};

template <class Wide, class Narrow, template <class> class MatrixKind>
struct ColourSink {
    PixelWriter writer;
    BothWidths<Wide, Narrow, ColourState<MatrixKind>::template State> state;
    ColourSink(const ConversionParams* params, const MatrixSplit& split)
        : writer{params->output}, state{{params, split}, {params, split}} {}
    template <class V>
    Channels<V> Converted(const Channels<V>& c) const {
        const auto& s = state.template Get<V>();
        return s.matrix.Apply(s.gains.Apply(c));
    }
    template <class V>
    VOID Full(const Block<V>& block) {
        const Channels<V> even = Converted(block.even);
        const Channels<V> odd = Converted(block.odd);
        writer.Full<V>(Interleave<V>(even.blue, odd.blue), Interleave<V>(even.green, odd.green),
                       Interleave<V>(even.red, odd.red));
    }
    template <class V>
    VOID Tail(const Block<V>& block, LONG count) {
        const Channels<V> even = Converted(block.even);
        const Channels<V> odd = Converted(block.odd);
        writer.Tail<V>(Interleave<V>(even.blue, odd.blue), Interleave<V>(even.green, odd.green),
                       Interleave<V>(even.red, odd.red), count);
    }
};

template <class V>
inline typename V::T Luminance(const Channels<V>& c) {
    auto weighted = [](typename V::T v, short weight) {
        return V::template Right16<8>(V::MulLow16(v, V::Set16(weight)));
    };
    return V::Add16(V::Add16(weighted(c.red, 77), weighted(c.green, 150)), weighted(c.blue, 29));
}

template <class Wide, class Narrow>
struct GreySink {
    PixelWriter writer;
    BothWidths<Wide, Narrow, GainFactors> gains;
    explicit GreySink(const ConversionParams* params)
        : writer{params->output}, gains{GainFactors<Wide>(params), GainFactors<Narrow>(params)} {}
    template <class V>
    typename V::T Grey(const Block<V>& block) const {
        const auto& g = gains.template Get<V>();
        return Interleave<V>(Luminance<V>(g.Apply(block.even)), Luminance<V>(g.Apply(block.odd)));
    }
    template <class V>
    VOID Full(const Block<V>& block) {
        const auto grey = Grey(block);
        writer.Full<V>(grey, grey, grey);
    }
    template <class V>
    VOID Tail(const Block<V>& block, LONG count) {
        const auto grey = Grey(block);
        writer.Tail<V>(grey, grey, grey, count);
    }
};

template <class V>
struct ChannelSums {
    typename V::T red = V::Zero();
    typename V::T green = V::Zero();
    typename V::T blue = V::Zero();
    VOID Add(const Block<V>& block, typename V::T keep) {
        auto add = [&](typename V::T& total, typename V::T even, typename V::T odd) {
            total = V::Add64(total, V::SumBytes(V::And(Interleave<V>(even, odd), keep)));
        };
        add(red, block.even.red, block.odd.red);
        add(green, block.even.green, block.odd.green);
        add(blue, block.even.blue, block.odd.blue);
    }
};

// Adds the blocks' bytes into 64-bit lanes, one accumulator per channel and width.
template <class Wide, class Narrow>
struct SumSink {
    ChannelSums<Wide> wide;
    ChannelSums<Narrow> narrow;
    template <class V>
    VOID Full(const Block<V>& block) {
        if constexpr (IsSameType<V, Wide>::value && !IsSameType<Wide, Narrow>::value) {
            wide.Add(block, V::Set8((char)0xFF));
        } else {
            narrow.Add(block, V::Set8((char)0xFF));
        }
    }
    // Only the image's own columns count, so the totals never depend on bytes beyond the border.
    template <class V>
    VOID Tail(const Block<V>& block, LONG count) {
        narrow.Add(block, Narrow::FirstBytes(count));
    }
    ULONG Total(typename Wide::T w, typename Narrow::T n) const {
        ULONG64 total = Narrow::Total64(n);
        if constexpr (!IsSameType<Wide, Narrow>::value)
            total += Wide::Total64(w);
        return (ULONG)total;
    }
};

template <class Wide, class Narrow>
VOID ConvertColourVector(const ConversionParams* params, const bool* matrix_positive, LONG phase) {
    const MatrixSplit split = SplitMatrix(params->matrix, matrix_positive);
    if (split.narrow) {
        ColourSink<Wide, Narrow, NarrowMatrix> sink(params, split);
        DispatchPhase<Wide, Narrow>(params, phase, sink);
    } else if (split.wide) {
        ColourSink<Wide, Narrow, WideMatrix> sink(params, split);
        DispatchPhase<Wide, Narrow>(params, phase, sink);
    } else {
        ConvertBayerToBgrxScalar(params, matrix_positive, phase);
    }
}

template <class Wide, class Narrow>
VOID ConvertGreyVector(const ConversionParams* params, LONG phase) {
    GreySink<Wide, Narrow> sink(params);
    DispatchPhase<Wide, Narrow>(params, phase, sink);
}

template <class Wide, class Narrow>
VOID SumChannelsVector(const ConversionParams* params, LONG phase, ChannelTotals* totals) {
    SumSink<Wide, Narrow> sink;
    DispatchPhase<Wide, Narrow>(params, phase, sink);
    totals->red = sink.Total(sink.wide.red, sink.narrow.red);
    totals->green = sink.Total(sink.wide.green, sink.narrow.green);
    totals->blue = sink.Total(sink.wide.blue, sink.narrow.blue);
}

}  // namespace
