// The colour and grey conversions and the white-balance measurement: known values from the
// kernels, and the vector path against the plain one, bit for bit.
#include <gtest/gtest.h>

#include "tests/imaging/imaging_support.h"

namespace {

using imaging_test::AllEqual;
using imaging_test::Camera;
using imaging_test::FlatRaw;
using imaging_test::Frame;
using imaging_test::kIdentity;
using imaging_test::Path;
using imaging_test::Pixel;
using imaging_test::RandomRaw;

// Every path into every layout; the scalar one into params->output is the reference, the others
// must equal it, cut to the columns the layout takes. The plain path's own layouts are left out on
// large frames, where they take long and find nothing the small ones do not.
template <typename Convert>
std::vector<ULONG> Checked(Frame& frame, LONG phase, Convert convert) {
    const std::vector<ULONG> scalar = *convert(Path::kScalar, imaging_test::kLayouts[0]);
    for (const imaging_test::Layout& layout : imaging_test::kLayouts) {
        const std::vector<ULONG> expected = frame.Cropped(scalar, layout);
        for (Path path : imaging_test::kPaths) {
            if (path == Path::kScalar && (!layout.own || scalar.size() > 100000))
                continue;
            const auto image = convert(path, layout);
            if (image)
                EXPECT_EQ(*image, expected) << imaging_test::Bits(path) << "-bit"
                                            << (path == Path::kScalar ? " (plain)" : "")
                                            << ", phase " << phase << ", " << layout.name;
            EXPECT_TRUE(frame.GuardIntact());
        }
    }
    return scalar;
}

std::vector<ULONG> CheckedColour(Frame& frame, LONG phase) {
    return Checked(frame, phase, [&](Path path, const imaging_test::Layout& layout) {
        return frame.Colour(phase, path, layout);
    });
}

std::vector<ULONG> CheckedGrey(Frame& frame, LONG phase) {
    return Checked(frame, phase, [&](Path path, const imaging_test::Layout& layout) {
        return frame.Grey(phase, path, layout);
    });
}

void ExpectSameTotals(Frame& frame, LONG phase) {
    const ChannelTotals scalar = *frame.Totals(phase, Path::kScalar);
    for (Path path : imaging_test::kVectorPaths) {
        const auto vector = frame.Totals(phase, path);
        if (!vector)
            continue;
        EXPECT_EQ(vector->red, scalar.red) << "phase " << phase;
        EXPECT_EQ(vector->green, scalar.green);
        EXPECT_EQ(vector->blue, scalar.blue);
    }
}

TEST(Conversion, FlatFramesInEveryPhase) {
    for (auto [width, height] : {std::pair<ULONG, ULONG>{16, 8}, {20, 9}, {37, 12}}) {
        for (LONG phase = 0; phase < 4; ++phase) {
            for (UCHAR v : {0, 1, 77, 200, 255}) {
                Frame frame(width, height);
                frame.Load(FlatRaw(width, height, v));
                EXPECT_TRUE(AllEqual(CheckedColour(frame, phase), Pixel(v, v, v)))
                    << width << " phase " << phase << " v " << (int)v;
                // Grey: each weight's term truncates on its own.
                const ULONG y = (v * 77u >> 8) + (v * 150u >> 8) + (v * 29u >> 8);
                EXPECT_TRUE(AllEqual(CheckedGrey(frame, phase), Pixel(y, y, y)));
                LONG red = 1;
                LONG green = 1;
                LONG blue = 1;
                if (v != 0) {
                    MeasureWhiteBalance(&frame.state().params, phase, &red, &green, &blue);
                    EXPECT_EQ(red, 128);
                    EXPECT_EQ(green, 128);
                    EXPECT_EQ(blue, 128);
                }
            }
        }
    }
}

TEST(Conversion, GreyKnownLevelsAndNoMatrix) {
    Frame frame(16, 8);
    frame.Load(FlatRaw(16, 8, 255));
    EXPECT_TRUE(AllEqual(CheckedGrey(frame, 0), Pixel(253, 253, 253)));
    frame.Load(FlatRaw(16, 8, 100));
    EXPECT_TRUE(AllEqual(CheckedGrey(frame, 0), Pixel(99, 99, 99)));
    LONG odd[16] = {};
    odd[12] = odd[13] = odd[14] = -255 * 64;
    frame.SetMatrix(odd);
    EXPECT_TRUE(AllEqual(CheckedGrey(frame, 0), Pixel(99, 99, 99)));
    // The gains do apply in grey: 100 * 2 = 200 in every channel.
    frame.SetGains(256, 256, 256);
    const ULONG y = (200u * 77 >> 8) + (200u * 150 >> 8) + (200u * 29 >> 8);
    EXPECT_TRUE(AllEqual(CheckedGrey(frame, 0), Pixel(y, y, y)));
}

TEST(Conversion, GainsScaleAndSaturate) {
    Frame frame(32, 8);
    frame.Load(FlatRaw(32, 8, 200));
    frame.SetGains(256, 256, 256);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 0), Pixel(255, 255, 255)));
    frame.Load(FlatRaw(32, 8, 201));
    frame.SetGains(64, 64, 64);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 1), Pixel(100, 100, 100)));
    // Per channel: red x2, green x1, blue x0.5.
    frame.Load(FlatRaw(32, 8, 100));
    frame.SetGains(256, 128, 64);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 2), Pixel(200, 100, 50)));
    // One gain off neutral is not neutral.
    frame.SetGains(128, 128, 64);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 2), Pixel(100, 100, 50)));
    frame.SetGains(128, 64, 128);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 2), Pixel(100, 50, 100)));
    frame.SetGains(64, 128, 128);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 2), Pixel(50, 100, 100)));
    // 128 x 512 has no low 16 bits at all: only the high half shows the saturation.
    frame.Load(FlatRaw(32, 8, 128));
    frame.SetGains(512, 512, 1024);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 0), Pixel(255, 255, 255)));
    // Either side of 2^14, where the short form of the product ends.
    for (auto [gain, level, expected] : {std::tuple<LONG, UCHAR, ULONG>{0x3FFF, 1, 127},
                                         {0x3FFF, 200, 255},
                                         {0x4000, 1, 128},
                                         {0x5000, 1, 160},
                                         {0x6000, 171, 255},
                                         {0x7FFF, 129, 255}}) {
        frame.Load(FlatRaw(32, 8, level));
        frame.SetGains(gain, gain, gain);
        EXPECT_TRUE(AllEqual(CheckedColour(frame, 0), Pixel(expected, expected, expected)))
            << gain << " on " << (int)level;
    }
    // A measured gain of 65536 or more acts as 65535 instead of wrapping to a small factor.
    frame.Load(FlatRaw(32, 8, 1));
    frame.SetGains(65536, 70000, 0x7FFFFFFF);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 3), Pixel(255, 255, 255)));
    frame.SetGains(65535, 128, 1);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 3), Pixel(255, 1, 0)));
    EXPECT_EQ(GainFactor(65536), 0xFFFFu);
    EXPECT_EQ(GainFactor(512), 512u);
}

TEST(Conversion, ConstantOnlyMatrices) {
    Frame frame(24, 8);
    frame.Load(RandomRaw(24, 8, 5));
    LONG matrix[16] = {};
    matrix[12] = matrix[13] = matrix[14] = 255 * 64;
    frame.SetMatrix(matrix);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 0), Pixel(255, 255, 255)));
    matrix[12] = matrix[13] = matrix[14] = -255 * 64;
    frame.SetMatrix(matrix);
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 0), Pixel(0, 0, 0)));
    // The sums are divided separately: 64 / 64 - 63 / 64 = 1.
    LONG split[16] = {};
    split[12] = split[13] = split[14] = 64;
    split[0] = split[5] = split[10] = -63;
    frame.SetMatrix(split);
    frame.Load(FlatRaw(24, 8, 1));
    EXPECT_TRUE(AllEqual(CheckedColour(frame, 0), Pixel(1, 1, 1)));
    // Offsets either side of a byte, added to 100 in every channel; each sum divides apart.
    frame.Load(FlatRaw(24, 8, 100));
    for (LONG offset : {127, 128, 200, -200}) {
        LONG shifted[16] = {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, offset, offset, offset, 64};
        frame.SetMatrix(shifted);
        const ULONG level = offset > 0 ? (6400 + offset) / 64 : 100 - -offset / 64;
        EXPECT_TRUE(AllEqual(CheckedColour(frame, 1), Pixel(level, level, level))) << offset;
    }
}

TEST(Conversion, SingleRedSample) {
    std::vector<UCHAR> raw(16 * 16, 0);
    raw[8 * 16 + 8] = 255;  // a red site of RGGB
    Frame frame(16, 16);
    frame.Load(raw);
    const auto image = CheckedColour(frame, 2);
    auto red = [&](int x, int y) { return (image[y * 16 + x] >> 16) & 0xFF; };
    EXPECT_EQ(red(8, 8), 255u);
    EXPECT_EQ(red(7, 8), 128u);
    EXPECT_EQ(red(9, 8), 128u);
    EXPECT_EQ(red(7, 7), 64u);
    EXPECT_EQ(red(9, 9), 64u);
    EXPECT_EQ(red(7, 9), 64u);
    EXPECT_EQ(red(9, 7), 64u);
    EXPECT_EQ(red(8, 6), 0u);  // a red site two rows up keeps its own sample
}

TEST(Conversion, NarrowAndOddFrames) {
    // W = 20: two blocks per row, the second storing 4 pixels, rows 80 bytes apart; odd heights
    // and widths that are not multiples of 16.
    for (auto [width, height] :
         {std::pair<ULONG, ULONG>{20, 8}, {20, 9}, {8, 8}, {9, 13}, {31, 8}, {47, 11}}) {
        Frame frame(width, height);
        frame.Load(RandomRaw(width, height, width + 100 * height));
        for (LONG phase = 0; phase < 4; ++phase) {
            CheckedColour(frame, phase);
            CheckedGrey(frame, phase);
        }
    }
}

TEST(Conversion, SmallFramesDoNotDependOnWhatThePoolHeld) {
    // Under 8 pixels in either direction the border is not filled.
    for (auto [width, height] :
         {std::pair<ULONG, ULONG>{1600, 4}, {7, 7}, {5, 12}, {70, 3}, {1, 1}, {2, 3}}) {
        const auto raw = RandomRaw(width, height, width + height);
        std::optional<std::vector<ULONG>> first;
        for (unsigned char fill : {0x00, 0x5A, 0xFF}) {
            platform::verifier::SetUninitialisedFill(fill);
            Frame frame(width, height);
            frame.LoadOnly(raw);
            const auto image = CheckedColour(frame, 2);
            CheckedGrey(frame, 1);
            if (!first)
                first = image;
            EXPECT_EQ(image, *first) << width << "x" << height << " fill " << (int)fill;
        }
    }
    platform::verifier::ClearFaults();
}

TEST(Conversion, VectorEqualsScalarOnRandomFramesAndSettings) {
    camtest::Rig rig(imaging_test::kContextsOnly);
    std::mt19937 random(2024);
    struct Size {
        ULONG width, height;
    };
    // Widths that are multiples of 64, of 32 or 16 only, and of none: every run of blocks.
    const Size sizes[] = {{8, 8},    {16, 8},   {17, 9},  {24, 10},   {63, 17},    {100, 33},
                          {117, 13}, {130, 31}, {208, 9}, {640, 480}, {1600, 1200}};
    for (const Size& size : sizes) {
        const bool large = size.width * size.height > 100000;
        for (LONG phase = 0; phase < 4; ++phase) {
            if (size.width == 1600 && phase != 0)
                continue;  // the full size once keeps it short
            Camera camera(rig, true);
            CameraContext* c = camera.get();
            SetColorCorrection(c, (LONG)(random() % 2));
            SetBrightness(c, (LONG)(random() % 511));
            SetContrast(c, (LONG)(random() % 21));
            SetSaturation(c, (LONG)(random() % 21));
            SetHue(c, (LONG)(random() % 360));
            Frame frame(size.width, size.height);
            frame.SetMatrix(camera.Fixed().data());
            // Neutral gains, gains of the settings' range, and measured ones far beyond it.
            const LONG limit = phase % 3 == 0 ? 0 : phase % 3 == 1 ? 600 : 100000;
            auto gain = [&] { return limit == 0 ? 128 : (LONG)(random() % limit); };
            frame.SetGains(gain(), gain(), gain());
            frame.Load(RandomRaw(size.width, size.height, (uint32_t)random()), random());
            CheckedColour(frame, phase);
            if (!large)
                CheckedGrey(frame, phase);
            ExpectSameTotals(frame, phase);
        }
    }
}

TEST(Conversion, VectorEqualsScalarForArbitraryMatrices) {
    // Any 16-bit magnitudes: bytes (constants up to a word), words, and those too large for the
    // vector multipliers; and byte matrices in the shape of a colour correction, positive on the
    // diagonal, not positive elsewhere, with no constants, whose negative pairs can pass what one
    // byte multiply holds. 117 columns and 13 rows take every register width's step, a short last
    // block and a lone last row.
    constexpr ULONG kWidth = 117;
    constexpr ULONG kHeight = 13;
    std::mt19937 random(7);
    Frame frame(kWidth, kHeight);
    for (int round = 0; round < 80; ++round) {
        LONG matrix[16];
        const LONG limit = round < 20 ? 64 : round < 40 ? 1024 : 70000;
        for (int k = 0; k < 16; ++k) {
            const LONG range = k >= 12 && round < 20 ? 128 << (round % 3 * 2) : limit;
            matrix[k] = (LONG)(random() % (2 * range)) - range;
            if (round >= 60) {
                const bool diagonal = k % 4 == k / 4;
                matrix[k] = k >= 12 || k % 4 == 3 ? 0
                            : diagonal            ? 1 + (LONG)(random() % 127)
                                                  : -(LONG)(random() % 100);
            }
        }
        frame.SetMatrix(matrix);
        frame.SetGains((LONG)(random() % 300), (LONG)(random() % 300), (LONG)(random() % 300));
        frame.Load(RandomRaw(kWidth, kHeight, (uint32_t)random()), random());
        CheckedColour(frame, round % 4);
    }
}

TEST(Conversion, ExtremeSettingsStayExact) {
    camtest::Rig rig(imaging_test::kContextsOnly);
    // Sums beyond 16 bits at legal settings: colour correction on, contrast 20, brightness 510
    // turns a flat white frame white, not black.
    {
        Camera camera(rig, true);
        SetContrast(camera.get(), 20);
        SetBrightness(camera.get(), 510);
        Frame frame(32, 8);
        frame.SetMatrix(camera.Fixed().data());
        frame.Load(FlatRaw(32, 8, 255));
        EXPECT_TRUE(AllEqual(CheckedColour(frame, 0), Pixel(255, 255, 255)));
        SetBrightness(camera.get(), 0);
        frame.SetMatrix(camera.Fixed().data());
        EXPECT_TRUE(AllEqual(CheckedColour(frame, 0), Pixel(0, 0, 0)));
    }
    Frame frame(48, 10);
    const auto noise = RandomRaw(48, 10, 99);
    for (LONG correction : {0, 1}) {
        for (LONG brightness : {0, 510}) {
            for (LONG contrast : {0, 20}) {
                for (LONG saturation : {0, 20}) {
                    for (LONG hue : {0, 90, 180, 271, 359}) {
                        Camera camera(rig, true);
                        CameraContext* c = camera.get();
                        SetColorCorrection(c, correction);
                        SetBrightness(c, brightness);
                        SetContrast(c, contrast);
                        SetSaturation(c, saturation);
                        SetHue(c, hue);
                        frame.SetMatrix(camera.Fixed().data());
                        for (LONG gain : {128, 512}) {
                            frame.SetGains(gain, gain, gain);
                            frame.Load(FlatRaw(48, 10, 255));
                            CheckedColour(frame, hue % 4);
                            frame.Load(noise);
                            CheckedColour(frame, (hue + 1) % 4);
                        }
                    }
                }
            }
        }
    }
}

TEST(WhiteBalance, GainsFromTotals) {
    LONG red = 0;
    LONG green = 0;
    LONG blue = 0;
    ChannelTotals totals{300, 600, 900};
    ASSERT_TRUE(ComputeWhiteBalanceGains(&totals, &red, &green, &blue));
    EXPECT_EQ(red, 256);
    EXPECT_EQ(green, 128);
    EXPECT_EQ(blue, 85);
    totals = {7, 3, 5};
    ASSERT_TRUE(ComputeWhiteBalanceGains(&totals, &red, &green, &blue));
    EXPECT_EQ(red, 54);
    EXPECT_EQ(blue, 76);
    // One red sample against a frame full of green: beyond 32 bits, kept at the top.
    totals = {1, 1600u * 1200u * 255u, 1600u * 1200u * 255u};
    ASSERT_TRUE(ComputeWhiteBalanceGains(&totals, &red, &green, &blue));
    EXPECT_EQ(red, 0x7FFFFFFF);
    EXPECT_EQ(blue, 128);
}

TEST(WhiteBalance, ZeroTotalKeepsThePreviousGains) {
    for (ChannelTotals totals : {ChannelTotals{0, 0, 0}, ChannelTotals{5, 0, 5},
                                 ChannelTotals{0, 5, 5}, ChannelTotals{5, 5, 0}}) {
        LONG red = 300;
        LONG green = 140;
        LONG blue = 90;
        EXPECT_FALSE(ComputeWhiteBalanceGains(&totals, &red, &green, &blue));
        EXPECT_EQ(red, 300);
        EXPECT_EQ(green, 140);
        EXPECT_EQ(blue, 90);
    }
    Frame frame(32, 8);
    frame.Load(FlatRaw(32, 8, 0));
    LONG red = 300;
    LONG green = 140;
    LONG blue = 90;
    MeasureWhiteBalance(&frame.state().params, 0, &red, &green, &blue);
    EXPECT_EQ(red, 300);
    EXPECT_EQ(green, 140);
    EXPECT_EQ(blue, 90);
}

TEST(WhiteBalance, TotalsCountOnlyTheImage) {
    // Widths that are not multiples of 16: whatever lies beyond the border must not count.
    for (ULONG width : {17u, 20u, 30u, 33u, 100u}) {
        Frame frame(width, 10);
        const auto raw = RandomRaw(width, 10, width);
        for (LONG phase = 0; phase < 4; ++phase) {
            frame.Load(raw, 1);
            const ChannelTotals first = *frame.Totals(phase, Path::kScalar);
            ExpectSameTotals(frame, phase);
            frame.Load(raw, 2);
            const ChannelTotals second = *frame.Totals(phase, Path::kScalar);
            ExpectSameTotals(frame, phase);
            EXPECT_EQ(first.red, second.red) << width << " phase " << phase;
            EXPECT_EQ(first.green, second.green);
            EXPECT_EQ(first.blue, second.blue);
        }
    }
    // A flat frame: each total is the pixel count times the level.
    Frame frame(20, 8);
    frame.Load(FlatRaw(20, 8, 3));
    const ChannelTotals flat = *frame.Totals(1, Path::kScalar);
    EXPECT_EQ(flat.red, 20u * 8 * 3);
    EXPECT_EQ(flat.green, 20u * 8 * 3);
    EXPECT_EQ(flat.blue, 20u * 8 * 3);
}

TEST(WhiteBalance, TintedFrameIsBalanced) {
    // Red sites at 50, blue at 200, green at 100 (GRBG): the measured gains pull red up and blue
    // down towards green.
    const ULONG width = 32;
    const ULONG height = 16;
    std::vector<UCHAR> raw(width * height);
    for (ULONG y = 0; y < height; ++y) {
        for (ULONG x = 0; x < width; ++x) {
            const bool even_row = y % 2 == 0;
            const bool even_column = x % 2 == 0;
            raw[y * width + x] = even_row == even_column ? 100 : (even_row ? 50 : 200);
        }
    }
    Frame frame(width, height);
    frame.Load(raw);
    LONG red = 0;
    LONG green = 0;
    LONG blue = 0;
    MeasureWhiteBalance(&frame.state().params, 0, &red, &green, &blue);
    EXPECT_EQ(red, 256);
    EXPECT_EQ(green, 128);
    EXPECT_EQ(blue, 64);
}

}  // namespace
