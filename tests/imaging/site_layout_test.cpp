// Which rule each tile position of each phase follows, against values worked out by hand from the
// kernels: the vector and plain paths share one site table, so comparing them cannot catch an
// error in it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/imaging/imaging_support.h"

namespace {

using imaging_test::Frame;
using imaging_test::Path;

// The tile of each phase, even row then odd row, as it is named.
const char* const kTiles[4] = {"GRBG", "BGGR", "RGGB", "GBRG"};

enum class Kernel { kSample, kG, kH, kV, kD };

// Weight of a sample dx, dy away from the pixel.
int Weight(Kernel kernel, int dx, int dy) {
    const int ax = std::abs(dx);
    const int ay = std::abs(dy);
    const bool centre = ax == 0 && ay == 0;
    const bool diagonal = ax == 1 && ay == 1;
    const bool horizontal1 = ax == 1 && ay == 0;
    const bool vertical1 = ax == 0 && ay == 1;
    const bool horizontal2 = ax == 2 && ay == 0;
    const bool vertical2 = ax == 0 && ay == 2;
    switch (kernel) {
        case Kernel::kSample:
            return centre ? 1 : 0;
        case Kernel::kG:
            return centre ? 4 : horizontal1 || vertical1 ? 2 : horizontal2 || vertical2 ? -1 : 0;
        case Kernel::kH:
            return centre ? 10 : horizontal1 ? 8 : vertical2 ? 1 : diagonal || horizontal2 ? -2 : 0;
        case Kernel::kV:
            return centre ? 10 : vertical1 ? 8 : horizontal2 ? 1 : diagonal || vertical2 ? -2 : 0;
        case Kernel::kD:
            return centre ? 12 : diagonal ? 4 : horizontal2 || vertical2 ? -3 : 0;
    }
    return 0;
}

// A lone sample of 255 dx, dy away through the kernel.
ULONG Value(Kernel kernel, int dx, int dy) {
    const int weight = Weight(kernel, dx, dy);
    if (kernel == Kernel::kSample)
        return weight * 255u;
    const int divisor = kernel == Kernel::kG ? 8 : 16;
    const int sum = weight > 0 ? weight * 255 : 0;
    const int value = (sum + divisor / 2) / divisor;
    return value > 255 ? 255u : (ULONG)value;
}

// The kernels giving red, green and blue at pixel (x, y) of the phase.
struct Rules {
    Kernel red, green, blue;
};
Rules RulesAt(LONG phase, ULONG x, ULONG y) {
    const char* tile = kTiles[phase];
    const char colour = tile[2 * (y % 2) + x % 2];
    if (colour == 'R')
        return {Kernel::kSample, Kernel::kG, Kernel::kD};
    if (colour == 'B')
        return {Kernel::kD, Kernel::kG, Kernel::kSample};
    const char beside = tile[2 * (y % 2) + (x + 1) % 2];
    if (beside == 'R')
        return {Kernel::kH, Kernel::kSample, Kernel::kV};
    return {Kernel::kV, Kernel::kSample, Kernel::kH};
}

TEST(SiteLayout, LoneSampleAtEveryTilePositionOfEveryPhase) {
    // The worked values the table below must reproduce.
    EXPECT_EQ(Value(Kernel::kH, 1, 0), 128u);  // (8 * 255 + 8) / 16
    EXPECT_EQ(Value(Kernel::kD, 1, 1), 64u);   // (4 * 255 + 8) / 16
    EXPECT_EQ(Value(Kernel::kG, 0, 0), 128u);  // (4 * 255 + 4) / 8
    EXPECT_EQ(Value(Kernel::kG, 1, 0), 64u);   // (2 * 255 + 4) / 8
    EXPECT_EQ(Value(Kernel::kH, 0, 0), 159u);  // (10 * 255 + 8) / 16
    EXPECT_EQ(Value(Kernel::kV, 2, 0), 16u);   // (255 + 8) / 16
    EXPECT_EQ(Value(Kernel::kD, 0, 0), 191u);  // (12 * 255 + 8) / 16
    EXPECT_EQ(Value(Kernel::kD, 2, 0), 0u);    // negative weights give 0

    const ULONG size = 16;
    for (LONG phase = 0; phase < 4; ++phase) {
        for (ULONG site = 0; site < 4; ++site) {
            // Away from the border, so no mirrored copy of the sample takes part.
            const ULONG sx = 8 + site % 2;
            const ULONG sy = 8 + site / 2;
            std::vector<UCHAR> raw(size * size, 0);
            raw[sy * size + sx] = 255;
            Frame frame(size, size);
            frame.Load(raw);
            for (Path path : imaging_test::kPaths) {
                const auto image = frame.Colour(phase, path);
                if (!image)
                    continue;
                for (ULONG y = 0; y < size; ++y) {
                    for (ULONG x = 0; x < size; ++x) {
                        const int dx = (int)sx - (int)x;
                        const int dy = (int)sy - (int)y;
                        const Rules rules = RulesAt(phase, x, y);
                        const ULONG expected = imaging_test::Pixel(Value(rules.red, dx, dy),
                                                                   Value(rules.green, dx, dy),
                                                                   Value(rules.blue, dx, dy));
                        ASSERT_EQ((*image)[y * size + x], expected)
                            << kTiles[phase] << ", sample at (" << sx << ", " << sy << "), pixel ("
                            << x << ", " << y << "), path " << (int)path;
                    }
                }
            }
        }
    }
}

}  // namespace
