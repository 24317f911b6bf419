// camctl convert as a user runs it: the output is the plain conversion of the raw file with the
// settings asked for, in each file format, and bad requests fail with a message.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "control/settings_table.h"
#include "imaging/color_settings.h"
#include "imaging/frame_processor.h"

namespace {

namespace fs = std::filesystem;

constexpr ULONG kWidth = 40;
constexpr ULONG kHeight = 10;

struct CommandResult {
    int status = -1;
    std::string output;
};

CommandResult RunCamctl(const std::string& args) {
    CommandResult run;
    FILE* pipe = popen((std::string(CAMCTL_PATH " ") + args + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return run;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        run.output.append(buffer.data(), n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

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
    auto camera = std::make_unique<CameraContext>();
    SetSettingsToAddDefaults(camera.get());
    FrameProcessor* processor = CreateFrameProcessor();
    camera->processor = processor;
    PushColorSettings(camera.get(), processor);
    SetHue(camera.get(), hue);
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
        dir_ = fs::temp_directory_path() / ("camctl_convert_test." + std::to_string(getpid()));
        fs::create_directories(dir_);
        std::mt19937 random(40);
        raw_.resize(kWidth * kHeight);
        for (UCHAR& sample : raw_)
            sample = (UCHAR)random();
        WriteFile(In(), raw_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path In() const { return dir_ / "in.raw"; }
    fs::path Out(const std::string& name) const { return dir_ / name; }
    // A conversion of the frame to the given output, with a valid size and setting.
    CommandResult Convert(const fs::path& in, const fs::path& out) {
        return RunCamctl("convert --size 40x10 --phase 3 --set Hue=90 " + in.string() + " " +
                         out.string());
    }

    fs::path dir_;
    std::vector<UCHAR> raw_;
};

TEST_F(CamctlConvertTest, BgraIsThePlainConversionWithTheSettings) {
    const CommandResult run = Convert(In(), Out("out.bgra"));
    ASSERT_EQ(run.status, 0) << run.output;
    const std::vector<UCHAR> expected = ReferenceBgra(raw_, 3, 90);
    EXPECT_EQ(ReadFile(Out("out.bgra")), expected);
    // The hue did take part: without it the picture differs.
    EXPECT_NE(ReferenceBgra(raw_, 3, 0), expected);
}

TEST_F(CamctlConvertTest, BmpHasItsHeaderAndBottomUpRows) {
    const CommandResult run = Convert(In(), Out("out.bmp"));
    ASSERT_EQ(run.status, 0) << run.output;
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

TEST_F(CamctlConvertTest, BadRequestsFailWithAMessage) {
    // Wrong file sizes: one byte short, one byte over, and an endless input.
    std::vector<UCHAR> short_raw(raw_.begin(), raw_.end() - 1);
    WriteFile(Out("short.raw"), short_raw);
    CommandResult run = Convert(Out("short.raw"), Out("out.bgra"));
    EXPECT_NE(run.status, 0);
    EXPECT_TRUE(Contains(run.output, "holds 399 bytes")) << run.output;
    std::vector<UCHAR> long_raw = raw_;
    long_raw.push_back(0);
    WriteFile(Out("long.raw"), long_raw);
    run = Convert(Out("long.raw"), Out("out.bgra"));
    EXPECT_NE(run.status, 0);
    EXPECT_TRUE(Contains(run.output, "holds more than 400 bytes")) << run.output;
    run = Convert("/dev/zero", Out("out.bgra"));
    EXPECT_NE(run.status, 0);
    EXPECT_TRUE(Contains(run.output, "holds more than 400 bytes")) << run.output;
    EXPECT_FALSE(fs::exists(Out("out.bgra")));

    run = Convert(In(), Out("out.jpg"));
    EXPECT_NE(run.status, 0);
    EXPECT_TRUE(Contains(run.output, "unknown output format")) << run.output;
    EXPECT_FALSE(fs::exists(Out("out.jpg")));

    run = RunCamctl("convert --size 40x10 --set Tint=3 " + In().string() + " " +
                    Out("out.bgra").string());
    EXPECT_NE(run.status, 0);
    EXPECT_TRUE(Contains(run.output, "'Tint' is not a colour setting")) << run.output;

    // Options of the camera commands have nothing to act on here.
    for (const char* option : {"--scene bars", "--usb-trace trace.pcap"}) {
        run = RunCamctl(std::string(option) + " convert --size 40x10 " + In().string() + " " +
                        Out("out.bgra").string());
        EXPECT_NE(run.status, 0) << option;
        EXPECT_TRUE(Contains(run.output, "convert does not use the camera")) << run.output;
    }
    EXPECT_FALSE(fs::exists(Out("out.bgra")));
}

}  // namespace
