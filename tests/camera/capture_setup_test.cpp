// The sensor register program, the capture set-up and the raw frame layout, as the camera sees
// them.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "camera/camera_commands.h"
#include "camera/capture_setup.h"
#include "tests/support/camera_fixture.h"

namespace {

using camtest::CameraFixture;

class CaptureSetupTest : public CameraFixture {
  protected:
    void SetUp() override {
        CameraFixture::SetUp();
        Configure();
    }
};

struct TimingRun {
    uint32_t first;
    uint32_t length;
    uint32_t closing;
};

const TimingRun kTimingRuns[] = {{512, 28, 0x3FE1E0}, {540, 42, 0x3FE780}, {582, 27, 0x3FE780},
                                 {609, 28, 0x3FE780}, {637, 24, 0x3FE780}, {661, 64, 0x3FE690},
                                 {725, 91, 0x3FE930}, {816, 63, 0x3FE930}, {879, 64, 0x3FE930},
                                 {943, 27, 0x3FE1E0}};

TEST_F(CaptureSetupTest, ProgramSendsItsWritesInOrderTwiceOnly) {
    EXPECT_TRUE(RunStartupSequence(camera_));
    auto writes = sim_.records().RegisterWrites();
    ASSERT_EQ(writes.size(), 690u);

    // Register order, block by block.
    struct Block {
        uint32_t first;
        uint32_t count;
    };
    const Block blocks[] = {{35, 12},  {384, 9}, {400, 8}, {512, 458}, {1, 15}, {33, 2}, {47, 16},
                            {64, 100}, {158, 2}, {76, 48}, {16, 15},   {25, 2}, {25, 2}, {32, 1}};
    size_t k = 0;
    for (const Block& block : blocks) {
        for (uint32_t i = 0; i < block.count; ++i, ++k) {
            ASSERT_EQ(writes[k].number, block.first + i) << "write " << k;
        }
    }
    const uint32_t first_values[] = {63, 7, 56, 39, 55, 6, 63, 1, 0, 39, 5, 2};
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(writes[i].value, first_values[i]) << i;
    }
    EXPECT_EQ(writes[12].value, 0x01C001u);
    EXPECT_EQ(writes[20].value, 0x3E04E4u);
    EXPECT_EQ(writes[28].value, 0x3E01FFu);
    EXPECT_EQ(writes[689].number, 32u);
    EXPECT_EQ(writes[689].value, 11u);

    // The registers the parameter operations own end at the program's values.
    EXPECT_EQ(sim_.state().registers[6], 0u);
    EXPECT_EQ(sim_.state().registers[7], 8u);
    EXPECT_EQ(sim_.state().registers[158], 36u);
    EXPECT_EQ(sim_.state().registers[159], 1u);
    EXPECT_EQ(sim_.state().registers[161], 4u);
    EXPECT_EQ(sim_.state().registers[162], 0u);
    EXPECT_EQ(sim_.state().registers[32], 11u);
    EXPECT_EQ(sim_.state().registers[33], 0u);
    EXPECT_EQ(sim_.state().registers[24], 10u);
    EXPECT_EQ(sim_.state().registers[28], 31u);
    EXPECT_EQ(sim_.state().registers[25], 0u);
    LONG shadow = -1;
    EXPECT_TRUE(GetRegisterShadow(camera_, 161, &shadow));
    EXPECT_EQ(shadow, 4);

    sim_.records().Clear();
    EXPECT_TRUE(RunStartupSequence(camera_));
    EXPECT_EQ(sim_.records().RegisterWrites().size(), 690u);
    sim_.records().Clear();
    EXPECT_TRUE(RunStartupSequence(camera_));
    EXPECT_TRUE(sim_.records().Commands().empty());
    EXPECT_EQ(camera_->startup_sequence_count, 2);
}

TEST_F(CaptureSetupTest, TimingTableFollowsTheRunRule) {
    RunStartupSequence(camera_);
    auto writes = sim_.records().RegisterWrites();
    ASSERT_EQ(writes.size(), 690u);
    const size_t timing_start = 12 + 9 + 8;
    const uint32_t first_run[] = {0x03200A, 0x07202D, 0x15002F, 0x012030, 0x334031, 0x236032,
                                  0x126033, 0x028034, 0x060046, 0x02A058, 0x07C060, 0x162069,
                                  0x06406A, 0x02007C, 0x16608D, 0x06808E, 0x12209F, 0x0240A0,
                                  0x06A0B2, 0x1500FE, 0x0120FF, 0x076100, 0x030104, 0x070118,
                                  0x07411C, 0x13C1DE, 0x03A1DF, 0x3FE1E0};
    for (size_t i = 0; i < 28; ++i) {
        EXPECT_EQ(writes[timing_start + i].value, first_run[i]) << "register " << 512 + i;
    }
    for (const TimingRun& run : kTimingRuns) {
        uint32_t previous_count = 0;
        for (uint32_t i = 0; i < run.length; ++i) {
            const auto& write = writes[timing_start + (run.first - 512) + i];
            ASSERT_EQ(write.number, run.first + i);
            uint32_t pattern = write.value >> 12;
            uint32_t count = write.value & 0xFFF;
            ASSERT_LE(pattern, 0x3FFu) << "register " << write.number;
            if (i + 1 == run.length) {
                EXPECT_EQ(write.value, run.closing) << "register " << write.number;
            } else {
                EXPECT_NE(pattern, 0x3FEu) << "register " << write.number;
            }
            if (i > 0) {
                EXPECT_GT(count, previous_count) << "register " << write.number;
            }
            previous_count = count;
        }
    }
}

TEST_F(CaptureSetupTest, StartCaptureAnnouncesTheFullFrame) {
    camera_->bayer_phase_default = 2;
    camera_->bayer_phase = 0;
    StartCapture(camera_, nullptr, 320, 240);
    EXPECT_EQ(camera_->raw_frame_size, 1921024u);
    EXPECT_EQ(sim_.state().AnnouncedFrameSize(), 1921024u);
    EXPECT_EQ(camera_->bayer_phase, 2);

    auto items = sim_.records().ItemWrites();
    ASSERT_EQ(items.size(), 5u);
    const uint8_t expected[][2] = {{0, 0}, {1, 0x50}, {2, 0x1D}, {3, 0x00}, {14, 0}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(items[i].item, expected[i][0]) << i;
        EXPECT_EQ(items[i].value, expected[i][1]) << i;
    }
    // Register 54 is cleared before the items, and 0x0A 0x01 comes before item 14.
    auto commands = sim_.records().Commands();
    ASSERT_GE(commands.size(), 7u);
    const auto& finish = commands[commands.size() - 2];
    EXPECT_EQ(finish[0], 0x0A);
    EXPECT_EQ(finish[1], 0x01);
    EXPECT_EQ(commands[commands.size() - 7][0], 0x04);
    auto writes = sim_.records().RegisterWrites();
    ASSERT_EQ(writes.size(), 691u);
    EXPECT_EQ(writes.back().number, 54u);
    EXPECT_EQ(writes.back().value, 0u);

    LONG size = 0, offset = -1, pitch = 0;
    GetRawFrameSize(camera_, &size);
    GetRawDataOffset(camera_, &offset);
    GetRawRowPitch(camera_, &pitch);
    EXPECT_EQ(size, 1921024);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(pitch, 1600);
}

// Every value the program's table lists, written out here from the table itself; the generated
// timing words of runs two to ten are checked by the run rule below.
TEST_F(CaptureSetupTest, EveryListedProgramValueReachesTheCamera) {
    std::vector<std::pair<uint32_t, uint32_t>> expected;
    auto add_run = [&](uint32_t first, std::vector<uint32_t> values) {
        for (uint32_t i = 0; i < values.size(); ++i)
            expected.push_back({first + i, values[i]});
    };
    auto add_sparse = [&](uint32_t first, uint32_t last,
                          std::vector<std::pair<uint32_t, uint32_t>> set) {
        for (uint32_t number = first; number <= last; ++number) {
            uint32_t value = 0;
            for (const auto& entry : set) {
                if (entry.first == number)
                    value = entry.second;
            }
            expected.push_back({number, value});
        }
    };
    add_run(35, {63, 7, 56, 39, 55, 6, 63, 1, 0, 39, 5, 2});
    add_run(384, {0x01C001, 0x220001, 0x260001, 0x07D002, 0x046003, 0x061030, 0x046031, 0x0004E4,
                  0x3E04E4});
    add_run(400, {0x0D5001, 0x220001, 0x260001, 0x130002, 0x16F009, 0x13000A, 0x0951FF, 0x3E01FF});
    add_run(512, {0x03200A, 0x07202D, 0x15002F, 0x012030, 0x334031, 0x236032, 0x126033,
                  0x028034, 0x060046, 0x02A058, 0x07C060, 0x162069, 0x06406A, 0x02007C,
                  0x16608D, 0x06808E, 0x12209F, 0x0240A0, 0x06A0B2, 0x1500FE, 0x0120FF,
                  0x076100, 0x030104, 0x070118, 0x07411C, 0x13C1DE, 0x03A1DF, 0x3FE1E0});
    const size_t generated_first = expected.size();
    const size_t generated_count = 458 - 28;
    add_sparse(1, 15, {{1, 8}, {2, 3}, {7, 8}});
    add_run(33, {0, 1});
    add_sparse(47, 62, {{47, 9}, {49, 6}});
    add_sparse(64, 139, {});
    add_run(140, {59, 2, 0, 55, 3, 2, 43, 9, 0, 39, 10, 2, 1, 0, 0, 2, 0, 1, 3, 0, 0, 4, 0, 0});
    add_run(158, {36, 1});
    add_sparse(76, 123, {});
    add_sparse(16, 30, {{24, 10}, {28, 31}});
    add_run(25, {32, 1});
    add_run(25, {0, 0});
    add_run(32, {11});

    EXPECT_TRUE(RunStartupSequence(camera_));
    auto writes = sim_.records().RegisterWrites();
    ASSERT_EQ(writes.size(), expected.size() + generated_count);
    for (size_t i = 0, w = 0; i < expected.size(); ++i, ++w) {
        if (i == generated_first)
            w += generated_count;
        EXPECT_EQ(writes[w].number, expected[i].first) << "write " << w;
        EXPECT_EQ(writes[w].value, expected[i].second)
            << "write " << w << ", register " << expected[i].first;
    }
}

TEST_F(CaptureSetupTest, FrameSizeRoundsUpToMultiplesOf2048) {
    struct Case {
        LONG width;
        LONG height;
        ULONG size;
    };
    for (const Case& c :
         {Case{1024, 768, 786432}, Case{1, 1, 2048}, Case{1000, 3, 4096}, Case{2048, 1, 2048}}) {
        camera_->image_width = c.width;
        camera_->image_height = c.height;
        camera_->output_width = c.width & ~7;
        StartCapture(camera_, nullptr, 1600, 1200);
        EXPECT_EQ(camera_->raw_frame_size, c.size) << c.width << "x" << c.height;
        EXPECT_EQ(sim_.state().AnnouncedFrameSize(), c.size);
        LONG pitch = 0;
        GetRawRowPitch(camera_, &pitch);
        EXPECT_EQ(pitch, c.width);
    }
    // Later stream starts no longer send the program.
    sim_.records().Clear();
    StartCapture(camera_, nullptr, 0, 0);
    ASSERT_EQ(sim_.records().RegisterWrites().size(), 1u);
    EXPECT_EQ(sim_.records().RegisterWrites()[0].number, 54u);
}

}  // namespace
