// The bordered work buffer: geometry, the copy and the mirrored border.
#include <gtest/gtest.h>

#include "imaging/pool_tags.h"
#include "platform/verifier.h"
#include "tests/imaging/imaging_support.h"

namespace {

using imaging_test::Frame;
using imaging_test::RandomRaw;

UCHAR At(ConversionState& state, LONG x, LONG y) {
    return state.params.origin[(LONG_PTR)y * state.params.stride + x];
}

TEST(WorkBuffer, Geometry) {
    struct Case {
        ULONG width, height, stride, size;
    };
    for (const Case& c : {Case{16, 8, 43, 43 * 12}, Case{1600, 1200, 1627, 1627 * 1204},
                          Case{20, 7, 43, 43 * 12}, Case{15, 9, 27, 27 * 14}}) {
        ConversionState state{};
        SetConversionGeometry(&state, c.width, c.height);
        EXPECT_EQ(state.work_stride, c.stride) << c.width;
        EXPECT_EQ(state.work_size, c.size) << c.width << "x" << c.height;
        AllocateWorkBuffer(&state);
        ASSERT_NE(state.work_buffer, nullptr);
        EXPECT_EQ(state.params.origin, state.work_buffer + 2 * c.stride + 5);
        EXPECT_EQ(state.params.width, (LONG)c.width);
        EXPECT_EQ(state.params.height, (LONG)c.height);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kWorkBufferTag), 1u);
        AllocateWorkBuffer(&state);  // releases the previous one first
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kWorkBufferTag), 1u);
        FreeWorkBuffer(&state);
        EXPECT_EQ(state.work_buffer, nullptr);
        FreeWorkBuffer(&state);
    }
}

TEST(WorkBuffer, FailedAllocationLeavesNoBuffer) {
    ConversionState state{};
    SetConversionGeometry(&state, 64, 64);
    platform::verifier::FailAllocationsWithTag(kWorkBufferTag);
    AllocateWorkBuffer(&state);
    platform::verifier::ClearFaults();
    EXPECT_EQ(state.work_buffer, nullptr);
    EXPECT_EQ(state.params.origin, nullptr);
}

TEST(WorkBuffer, CopiesRowsAndMirrorsTheBorder) {
    for (auto [width, height] : {std::pair<ULONG, ULONG>{16, 8}, {20, 11}, {33, 10}}) {
        Frame frame(width, height);
        const auto raw = RandomRaw(width, height, width * 31 + height);
        frame.Load(raw);
        ConversionState& s = frame.state();
        const LONG w = (LONG)width;
        const LONG h = (LONG)height;
        auto image = [&](LONG x, LONG y) { return raw[(size_t)y * w + x]; };
        for (LONG y = 0; y < h; ++y) {
            for (LONG x = 0; x < w; ++x)
                ASSERT_EQ(At(s, x, y), image(x, y));
        }
        // The source row of a border row, and the source column of a border column.
        auto source_row = [&](LONG y) {
            if (y == -2)
                return 2;
            if (y == -1)
                return 1;
            if (y == h)
                return h - 4;
            if (y == h + 1)
                return h - 3;
            return y;
        };
        auto source_column = [&](LONG x) {
            if (x == -1)
                return 1;
            if (x == -2)
                return 2;
            if (x == w)
                return w - 2;
            if (x == w + 1)
                return w - 3;
            return x;
        };
        for (LONG y = -2; y < h + 2; ++y) {
            for (LONG x = -2; x < w + 2; ++x) {
                const UCHAR expected = image(source_column(x), source_row(y));
                ASSERT_EQ(At(s, x, y), expected)
                    << width << "x" << height << " at " << x << "," << y;
                // The same colour of the tile as the position itself.
                ASSERT_EQ((source_column(x) - x) % 2, 0);
                ASSERT_EQ((source_row(y) - y) % 2, 0);
            }
        }
    }
}

TEST(WorkBuffer, SmallFramesCopyWithoutBorder) {
    for (auto [width, height] : {std::pair<ULONG, ULONG>{7, 9}, {9, 7}}) {
        ConversionState state{};
        SetConversionGeometry(&state, width, height);
        AllocateWorkBuffer(&state);
        for (ULONG i = 0; i < state.work_size; ++i)
            state.work_buffer[i] = 0xA5;
        const auto raw = RandomRaw(width, height, 3);
        LoadWorkBuffer(&state, raw.data(), 0, width);
        ULONG changed = 0;
        for (ULONG i = 0; i < state.work_size; ++i)
            changed += state.work_buffer[i] != 0xA5;
        for (LONG y = 0; y < (LONG)height; ++y) {
            for (LONG x = 0; x < (LONG)width; ++x) {
                EXPECT_EQ(At(state, x, y), raw[y * width + x]);
            }
        }
        // Only image samples may differ from the fill.
        EXPECT_LE(changed, width * height);
        EXPECT_EQ(At(state, -1, 0), 0xA5);
        EXPECT_EQ(At(state, 0, -1), 0xA5);
        FreeWorkBuffer(&state);
    }
}

TEST(WorkBuffer, HonoursOffsetAndPitch) {
    const ULONG width = 24;
    const ULONG height = 10;
    const ULONG pitch = 40;
    const ULONG offset = 13;
    std::vector<UCHAR> raw(offset + pitch * height, 0xEE);
    for (ULONG y = 0; y < height; ++y) {
        for (ULONG x = 0; x < width; ++x)
            raw[offset + y * pitch + x] = (UCHAR)(x * 7 + y);
    }
    ConversionState state{};
    SetConversionGeometry(&state, width, height);
    AllocateWorkBuffer(&state);
    LoadWorkBuffer(&state, raw.data(), offset, pitch);
    for (ULONG y = 0; y < height; ++y) {
        for (ULONG x = 0; x < width; ++x)
            EXPECT_EQ(At(state, x, y), (UCHAR)(x * 7 + y));
    }
    FreeWorkBuffer(&state);
}

}  // namespace
