// Which register width a conversion runs at: the processor's features, the state saves around the
// wider registers and the fall-back when one fails; and the verifier's watch over unsaved use.
#include <gtest/gtest.h>

#include "imaging/convert_wide.h"
#include "tests/imaging/imaging_support.h"
#include "tests/support/record_mode.h"
#include "tests/support/state_watch.h"

namespace {

using imaging_test::Frame;
using imaging_test::Path;
using imaging_test::RandomRaw;
using platform::verifier::ExtendedStateWatch;

using VectorPaths = RecordMode;

constexpr ULONG64 kSave512 = XSTATE_MASK_AVX | XSTATE_MASK_AVX512;
constexpr ULONG64 kSave256 = XSTATE_MASK_AVX;

struct Attempt {
    ULONG64 mask;
    bool succeeded;
    bool operator==(const Attempt&) const = default;
};

std::vector<Attempt> TakeSaves() {
    std::vector<Attempt> attempts;
    for (const auto& save : platform::verifier::TakeExtendedStateSaves())
        attempts.push_back({save.mask, save.succeeded});
    return attempts;
}

TEST_F(VectorPaths, NarrowerRegistersWhenAFeatureIsMissingOrASaveFails) {
    if (SetVectorWidthLimit(512) != 512)
        GTEST_SKIP() << "this processor has no 512-bit path";
    const ULONG width = 117;  // one run of four blocks, one of two, one single block, 5 pixels
    Frame frame(width, 9);
    frame.Load(RandomRaw(width, 9, 4));
    frame.SetGains(200, 128, 90);
    const auto colour = *frame.Colour(1, Path::kScalar);
    const auto grey = *frame.Grey(1, Path::kScalar);
    const ChannelTotals totals = *frame.Totals(1, Path::kScalar);
    struct Case {
        ULONG hidden_feature;  // 0: none
        ULONG64 failing_saves;
        std::vector<Attempt> attempts;
    };
    const Case cases[] = {
        {0, 0, {{kSave512, true}}},
        {0, XSTATE_MASK_AVX512, {{kSave512, false}, {kSave256, true}}},
        {0, XSTATE_MASK_AVX, {{kSave512, false}, {kSave256, false}}},
        {PF_AVX512F_INSTRUCTIONS_AVAILABLE, 0, {{kSave256, true}}},
        {PF_AVX2_INSTRUCTIONS_AVAILABLE, 0, {}},
    };
    for (const Case& c : cases) {
        platform::verifier::ClearFaults();
        if (c.hidden_feature != 0)
            platform::verifier::HideProcessorFeature(c.hidden_feature);
        platform::verifier::FailExtendedStateSaves(c.failing_saves);
        TakeSaves();
        SCOPED_TRACE(testing::Message()
                     << "hidden " << c.hidden_feature << ", failing saves " << c.failing_saves);
        // The conversions ask for the widest registers; what they got shows in the saves.
        ConversionState& state = frame.state();
        std::vector<ULONG> out(width * 9);
        state.params.output = out.data();
        ConvertBayerToBgrx(&state.params, state.matrix_positive, 1);
        EXPECT_EQ(out, colour);
        EXPECT_EQ(TakeSaves(), c.attempts);
        ConvertBayerToGrey(&state.params, 1);
        EXPECT_EQ(out, grey);
        EXPECT_EQ(TakeSaves(), c.attempts);
        ChannelTotals sums{};
        SumChannels(&state.params, 1, &sums);
        EXPECT_EQ(sums.red, totals.red);
        EXPECT_EQ(sums.green, totals.green);
        EXPECT_EQ(sums.blue, totals.blue);
        EXPECT_EQ(TakeSaves(), c.attempts);
        state.params.output = nullptr;
    }
}

TEST_F(VectorPaths, TheWatchCatchesThe512BitPathWithoutItsSave) {
    if (!ExtendedStateWatch::Available() || SetVectorWidthLimit(512) != 512)
        GTEST_SKIP() << "the watch cannot sample 512-bit use here";
    Frame frame(640, 48);
    frame.Load(RandomRaw(640, 48, 8));
    ConversionState& state = frame.state();
    std::vector<ULONG> out(640 * 48);
    state.params.output = out.data();
    {
        ExtendedStateWatch watch;
        ASSERT_TRUE(RunUntilSampledInUse(
            watch, [&] { ConvertBayerToBgrx(&state.params, state.matrix_positive, 0); }));
    }
    ExpectNoViolation();
    {
        ExtendedStateWatch watch;
        ASSERT_TRUE(RunUntilSampledInUse(watch, [&] {
            const ImageDestination output = OutputOf(&state.params);
            ConvertBayerToBgrx512(&state.params, state.matrix_positive, 0, &output);
        }));
    }
    ExpectOneViolation({"512-bit registers in use without KeSaveExtendedProcessorState"});
    state.params.output = nullptr;
}

}  // namespace
