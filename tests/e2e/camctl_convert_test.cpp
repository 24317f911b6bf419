// camctl convert as a user runs it: the output is the plain conversion of the raw file with the
// settings asked for, in each file format, and bad requests fail with a message.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "imaging/color_settings.h"
#include "imaging/frame_processor.h"
#include "tests/support/camctl_runner.h"
#include "tests/support/rig.h"

namespace {

namespace fs = std::filesystem;

constexpr ULONG kWidth = 40;
constexpr ULONG kHeight = 10;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<UCHAR> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<UCHAR>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::vector<UCHAR>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
}

uint32_t LittleEndian(const std::vector<UCHAR>& bytes, size_t at, int count) {
    uint32_t value = 0;
    for (int i = count; i-- > 0;)
        value = value << 8 | bytes[at + i];
    return value;
}

// The raw frame through the plain per-pixel path, with the device-add colour values and then the
// hue, as bytes blue, green, red, 255 per pixel, top row first.
std::vector<UCHAR> ReferenceBgra(const std::vector<UCHAR>& raw, LONG phase, LONG hue) {
    camtest::Rig rig({.level = camtest::RigLevel::kUsb, .plugged = false});
    CameraContext* camera = rig.context();
    FrameProcessor* processor = CreateFrameProcessor();
    camera->processor = processor;
    PushColorSettings(camera, processor);
    SetHue(camera, hue);
    LONG matrix[16];
    SnapshotFixedMatrix(processor, matrix);
    camera->processor = nullptr;
    FreeFrameProcessor(processor);

    ConversionState state{};
    SetConversionGeometry(&state, kWidth, kHeight);
    AllocateWorkBuffer(&state);
    LoadWorkBuffer(&state, raw.data(), 0, kWidth);
    std::vector<ULONG> pixels(kWidth * kHeight);
    state.params.output = pixels.data();
    state.params.frame_red_gain = state.params.frame_green_gain = state.params.frame_blue_gain =
        128;
    for (int k = 0; k < 16; ++k) {
        state.params.matrix[k] = matrix[k];
        state.matrix_positive[k] = matrix[k] > 0;
    }
    ConvertBayerToBgrxScalar(&state.params, state.matrix_positive, phase);
    FreeWorkBuffer(&state);

    std::vector<UCHAR> bytes;
    for (ULONG pixel : pixels) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back((UCHAR)(pixel >> (8 * i)));
    }
    return bytes;
}

class CamctlConvertTest : public testing::Test {
  protected:
    void SetUp() override {
        std::mt19937 random(40);
        raw_.resize(kWidth * kHeight);
        for (UCHAR& sample : raw_)
            sample = (UCHAR)random();
        WriteFile(In(), raw_);
    }
    fs::path In() const { return dir_.File("in.raw"); }
    fs::path Out(const std::string& name) const { return dir_.File(name); }
    // A conversion of the frame to the given output, with a valid size and setting.
    camtest::CamctlResult Convert(const fs::path& in, const fs::path& out) {
        return camtest::RunCamctl(dir_, "convert --size 40x10 --phase 3 --set Hue=90 " +
                                            in.string() + " " + out.string());
    }

    camtest::ScratchDir dir_;
    std::vector<UCHAR> raw_;
};

TEST_F(CamctlConvertTest, BgraIsThePlainConversionWithTheSettings) {
    const camtest::CamctlResult run = Convert(In(), Out("out.bgra"));
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<UCHAR> expected = ReferenceBgra(raw_, 3, 90);
    EXPECT_EQ(ReadFile(Out("out.bgra")), expected);
    // The hue did take part: without it the picture differs.
    EXPECT_NE(ReferenceBgra(raw_, 3, 0), expected);
}

TEST_F(CamctlConvertTest, BmpHasItsHeaderAndBottomUpRows) {
    const camtest::CamctlResult run = Convert(In(), Out("out.bmp"));
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<UCHAR> bmp = ReadFile(Out("out.bmp"));
    const size_t row_bytes = kWidth * 4;
    ASSERT_EQ(bmp.size(), 54 + row_bytes * kHeight);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(LittleEndian(bmp, 2, 4), bmp.size());
    EXPECT_EQ(LittleEndian(bmp, 10, 4), 54u);
    EXPECT_EQ(LittleEndian(bmp, 14, 4), 40u);
    EXPECT_EQ(LittleEndian(bmp, 18, 4), kWidth);
    EXPECT_EQ(LittleEndian(bmp, 22, 4), kHeight);
    EXPECT_EQ(LittleEndian(bmp, 26, 2), 1u);
    EXPECT_EQ(LittleEndian(bmp, 28, 2), 32u);
    EXPECT_EQ(LittleEndian(bmp, 30, 4), 0u);
    const std::vector<UCHAR> expected = ReferenceBgra(raw_, 3, 90);
    for (ULONG row = 0; row < kHeight; ++row) {
        const auto file_row = bmp.begin() + 54 + (kHeight - 1 - row) * row_bytes;
        EXPECT_TRUE(std::equal(file_row, file_row + row_bytes, expected.begin() + row * row_bytes))
            << "image row " << row;
    }
}

// The file must hold one frame exactly; usage errors are in camctl_arguments_test.
TEST_F(CamctlConvertTest, AnInputOfAnotherSizeFailsAndWritesNothing) {
    std::vector<UCHAR> short_raw(raw_.begin(), raw_.end() - 1);
    WriteFile(Out("short.raw"), short_raw);
    std::vector<UCHAR> long_raw = raw_;
    long_raw.push_back(0);
    WriteFile(Out("long.raw"), long_raw);
    const struct {
        fs::path in;
        const char* message;
    } cases[] = {
        {Out("short.raw"), "holds 399 bytes"},
        {Out("long.raw"), "holds more than 400 bytes"},
        {"/dev/zero", "holds more than 400 bytes"},
    };
    for (const auto& c : cases) {
        const camtest::CamctlResult run = Convert(c.in, Out("out.bgra"));
        EXPECT_EQ(run.status, 1) << c.in;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    }
    EXPECT_FALSE(fs::exists(Out("out.bgra")));
}

}  // namespace
