// camctl capture as a user runs it: pictures of the chart with every picture number, raw frames
// that are the conversion of the frames the camera sent, the file names asked for, and a summary.
#include <gtest/gtest.h>
#include <png.h>
#include <turbojpeg.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/camctl_runner.h"

namespace {

using camtest::RunCamctl;
using camtest::ScratchDir;

constexpr uint32_t kWidth = 1600;
constexpr uint32_t kHeight = 1200;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 4;

struct Rgb {
    int r, g, b;
};

// The picture of a PNG file, top row first; empty when it is not a 1600 x 1200 PNG.
std::vector<uint8_t> ReadPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return {};
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (image.width != kWidth || image.height != kHeight ||
        !png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return {};
    }
    return rgb;
}

// The picture of a JPEG file, as ReadPng gives it.
std::vector<uint8_t> ReadJpeg(const std::string& path) {
    const std::string bytes = camtest::ReadText(path);
    tjhandle decoder = tjInitDecompress();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    int width = 0, height = 0, subsampling = 0, colours = 0;
    std::vector<uint8_t> rgb(size_t{kWidth} * kHeight * 3);
    const bool read =
        tjDecompressHeader3(decoder, data, bytes.size(), &width, &height, &subsampling, &colours) ==
            0 &&
        width == (int)kWidth && height == (int)kHeight &&
        tjDecompress2(decoder, data, bytes.size(), rgb.data(), width, 0, height, TJPF_RGB, 0) == 0;
    tjDestroy(decoder);
    return read ? rgb : std::vector<uint8_t>();
}

Rgb At(const std::vector<uint8_t>& rgb, uint32_t x, uint32_t y) {
    const uint8_t* p = rgb.data() + (size_t{y} * kWidth + x) * 3;
    return {p[0], p[1], p[2]};
}

// Whether a free-running capture keeps up with the camera is a matter of speed, measured by
// bench/stream; with --sensor-out the camera sends a frame only once the last one is delivered, so
// every build must number the pictures without a gap.
// The chart: a red patch at the top left, a blue one at the top right of the middle, and the grey
// ramp along the bottom, dark to light.
void ExpectChart(const std::vector<uint8_t>& rgb, const std::string& name) {
    ASSERT_FALSE(rgb.empty()) << name;
    const Rgb red = At(rgb, 130, 110);
    const Rgb blue = At(rgb, 1200, 110);
    EXPECT_GT(red.r, red.g + 20) << name;
    EXPECT_GT(red.r, red.b + 20) << name;
    EXPECT_GT(blue.b, blue.r + 20) << name;
    EXPECT_GT(blue.b, blue.g + 20) << name;
    EXPECT_GT(At(rgb, 1500, 1150).g, At(rgb, 100, 1150).g + 30) << name;
}

TEST(CamctlCaptureTest, TenPngsOfTheChartWithPictureNumbersOneToTen) {
    ScratchDir dir;
    const camtest::CamctlResult run =
        RunCamctl(dir, "capture --count 10 --out frames/ --sensor-out frames/");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.Value("frames_delivered"), "10") << run.out;
    EXPECT_EQ(run.Value("first_picture"), "1") << run.out;
    EXPECT_EQ(run.Value("last_picture"), "10") << run.out;
    EXPECT_EQ(run.Value("gaps"), "none") << run.out;
    EXPECT_EQ(run.Value("empty_buffers"), "0") << run.out;
    EXPECT_NE(run.Value("frame_rate_fps"), "") << run.out;
    for (int i = 1; i <= 10; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "frames/frame%04d.png", i);
        ExpectChart(ReadPng(dir.File(name)), name);
    }
}

// The same chart through the JPEG encoder, at the quality asked for: a lower quality is a smaller
// file of the same picture.
TEST(CamctlCaptureTest, JpegFilesHoldTheChartAtTheQualityAskedFor) {
    ScratchDir dir;
    const struct {
        const char* args;
        const char* file;
    } cases[] = {
        {"capture --count 1 --out shot.jpeg", "shot.jpeg"},
        {"capture --count 2 --format jpeg --quality 30 --out low/", "low/frame0002.jpg"},
    };
    for (const auto& c : cases) {
        const camtest::CamctlResult run = RunCamctl(dir, c.args);
        ASSERT_EQ(run.status, 0) << c.args << "\n" << run.err;
        ExpectChart(ReadJpeg(dir.File(c.file)), c.file);
    }
    EXPECT_LT(camtest::ReadText(dir.File("low/frame0002.jpg")).size(),
              camtest::ReadText(dir.File("shot.jpeg")).size() * 2 / 3);
}

// On a terminal: progress with rate and time left, ended before the summary's first line; and raw
// frames are not poured onto it.
TEST(CamctlCaptureTest, OnATerminalProgressEndsBeforeTheSummaryAndRawIsRefused) {
    if (!camtest::HasCommand("script"))
        GTEST_SKIP() << "script (bsdutils) is not installed";
    ScratchDir dir;
    const struct {
        const char* args;
        int status;
        std::vector<const char*> parts;
    } cases[] = {
        {"capture --count 3",
         0,
         {"3 of 3 frames, ", " frames/s, ", " s left", "s left\r\nframes_delivered=3"}},
        {"capture --count 1 --format raw --out -", 2, {"would write raw frames to the terminal"}},
    };
    for (const auto& c : cases) {
        // script gives camctl a terminal for both outputs and passes on its exit status.
        const camtest::CamctlResult run =
            camtest::RunInFolder(dir, "script -qec '" + camtest::CamctlWithDriver(c.args) + " " +
                                          c.args + "' /dev/null");
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.out;
        for (const char* part : c.parts)
            EXPECT_NE(run.out.find(part), std::string::npos) << c.args << ": " << part << "\n"
                                                             << run.out;
    }
}

TEST(CamctlCaptureTest, ATimeOutUnderExternalTriggerSaysTheCameraWaitsForATrigger) {
    ScratchDir dir;
    ASSERT_EQ(RunCamctl(dir, "set ExTrigger=1 Timeout=501").status, 0);
    const camtest::CamctlResult run = RunCamctl(dir, "capture --count 1");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no frame arrived within 2002 ms: ExTrigger is 1, so the camera waits "
                           "for an external trigger"),
              std::string::npos)
        << run.err;
}

// The n-th frame of a file of raw frames, and the picture of a bitmap (both bottom row first).
std::vector<uint8_t> Slice(const std::string& bytes, size_t offset, size_t length) {
    if (bytes.size() < offset + length)
        return {};
    return std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + length);
}

std::vector<uint8_t> Mirrored(std::vector<uint8_t> frame) {
    for (size_t row = 0; row < kHeight; ++row) {
        uint32_t* pixels = reinterpret_cast<uint32_t*>(frame.data() + row * kWidth * 4);
        std::reverse(pixels, pixels + kWidth);
    }
    return frame;
}

TEST(CamctlCaptureTest, RawFramesAreTheConversionOfTheFramesTheCameraSent) {
    struct Case {
        const char* args;
        const char* redirect;
        const char* frames;         // where the raw frames land
        const char* sensor_format;  // the name of raw frame n
        bool mirrored;
    };
    const Case cases[] = {
        {"capture --count 3 --format raw --out - --sensor-out sensor/", "> stdout.bgra",
         "stdout.bgra", "sensor/sensor%04d.raw", false},
        {"capture --count 3 --set FlipH=1 --format raw --out frames.bgra --sensor-out 's/r%d.raw'",
         "", "frames.bgra", "s/r%d.raw", true},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const camtest::CamctlResult run = RunCamctl(dir, c.args, c.redirect);
        ASSERT_EQ(run.status, 0) << c.args << "\n" << run.err;
        // With the frames on standard output, the summary goes to standard error.
        const bool summary_on_err = std::strcmp(c.redirect, "") != 0;
        EXPECT_NE((summary_on_err ? run.err : run.out).find("frames_delivered=3"),
                  std::string::npos);
        const std::string frames = camtest::ReadText(dir.File(c.frames));
        ASSERT_EQ(frames.size(), 3 * kFrameBytes) << c.args;
        for (int n = 1; n <= 3; ++n) {
            char sensor[64];
            std::snprintf(sensor, sizeof(sensor), c.sensor_format, n);
            const camtest::CamctlResult convert =
                RunCamctl(dir, std::string("convert --size 1600x1200 ") + sensor + " back.bmp");
            ASSERT_EQ(convert.status, 0) << convert.err;
            std::vector<uint8_t> expected =
                Slice(camtest::ReadText(dir.File("back.bmp")), 54, kFrameBytes);
            if (c.mirrored)
                expected = Mirrored(expected);
            EXPECT_TRUE(Slice(frames, (n - 1) * kFrameBytes, kFrameBytes) == expected)
                << c.args << ": frame " << n;
        }
    }
}

TEST(CamctlCaptureTest, FilesAreNamedAsAskedAndTheSummaryFitsTheOptions) {
    struct Case {
        const char* args;
        std::vector<const char*> files;
        const char* magic;  // the first bytes of each file
        bool clock;
    };
    const Case cases[] = {
        {"capture --count 2 --out p/f%02d.bmp", {"p/f01.bmp", "p/f02.bmp"}, "BM", true},
        {"capture --count 2 --no-clock --format bmp --buffers 1 --out q/",
         {"q/frame0001.bmp", "q/frame0002.bmp"},
         "BM",
         false},
        {"capture --count 1 --format png --out r/%d.png", {"r/1.png"}, "\x89PNG", true},
        {"capture --count 1 --out one.png", {"one.png"}, "\x89PNG", true},
        {"capture --count 1 --out raw.bgra", {"raw.bgra"}, "", true},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const camtest::CamctlResult run = RunCamctl(dir, c.args);
        ASSERT_EQ(run.status, 0) << c.args << "\n" << run.err;
        EXPECT_EQ(run.Value("frames_delivered"), std::to_string(c.files.size())) << run.out;
        // Without a clock there are no time stamps and no picture numbers to report.
        EXPECT_EQ(run.Value("first_picture") == "none", !c.clock) << c.args << "\n" << run.out;
        EXPECT_EQ(run.Value("frame_rate_fps") == "none", !c.clock || c.files.size() < 2)
            << c.args << "\n"
            << run.out;
        for (const char* file : c.files) {
            const std::string bytes = camtest::ReadText(dir.File(file));
            EXPECT_EQ(bytes.rfind(c.magic, 0), 0u) << c.args << ": " << file;
        }
    }
}

}  // namespace
