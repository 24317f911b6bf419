// The sensor and its scenes: GRBG layout, exposure and gain, determinism, and PNG scenes.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <fstream>

#include "camera_harness.h"
#include "tests/support/scratch_dir.h"

namespace sim_test {
namespace {

class SimSensorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.camera.SetWindow(16, 8);
        h.camera.SetNoise(false);
        h.camera.SetScene(sim::MakeFlatScene(128));
        h.SetExposure(100);
        h.SetGain(512);
        h.AnnounceFrameSize(128);
    }
    // Sample (x, y) of frame 0 as the camera would send it now.
    int Sample(uint32_t x, uint32_t y) { return h.camera.RenderFrame(0)[y * 16 + x]; }

    CameraHarness h;
};

TEST_F(SimSensorTest, FlatFieldShowsTheGrbgLayoutAndChannelSensitivity) {
    const std::vector<uint8_t> frame = h.camera.RenderFrame(0);
    const int green = frame[0];
    const int red = frame[1];
    const int blue = frame[16];
    EXPECT_EQ(frame[17], green);
    EXPECT_GT(green, 60);
    EXPECT_LT(green, 200);
    // Red and blue sites are less sensitive than green, and differ from each other.
    EXPECT_LT(red, green);
    EXPECT_LT(blue, red);
    // Without noise a flat field repeats the 2 x 2 cell everywhere.
    for (uint32_t y = 0; y < 8; ++y) {
        for (uint32_t x = 0; x < 16; ++x) {
            ASSERT_EQ(frame[y * 16 + x], frame[(y % 2) * 16 + (x % 2)]) << x << "," << y;
        }
    }
}

TEST_F(SimSensorTest, ExposureAndGainScaleTheSignal) {
    const int base = Sample(0, 0);
    h.SetExposure(50);
    EXPECT_NEAR(Sample(0, 0), base / 2.0, 1.0);
    // The two register pairs are averaged: 100 and 0 expose like 50 and 50.
    h.WriteRegister(158, 100 & 0x3F);
    h.WriteRegister(159, 100 >> 6);
    h.WriteRegister(161, 0);
    h.WriteRegister(162, 0);
    EXPECT_NEAR(Sample(0, 0), base / 2.0, 1.0);

    h.SetExposure(100);
    h.SetGain(768);  // one doubling above the x1 point
    EXPECT_NEAR(Sample(0, 0), base * 2.0, 1.0);
    h.SetGain(256);
    EXPECT_NEAR(Sample(0, 0), base / 2.0, 1.0);
    // Saturation clips at the top of the 8-bit range.
    h.SetGain(1023);
    h.SetExposure(1252);
    EXPECT_EQ(Sample(0, 0), 255);
    h.SetExposure(0);
    EXPECT_EQ(Sample(0, 0), 0);
}

TEST_F(SimSensorTest, NoiseIsDeterministicBySeedAndFrame) {
    h.camera.SetNoise(true);
    const std::vector<uint8_t> a0 = h.camera.RenderFrame(0);
    EXPECT_EQ(h.camera.RenderFrame(0), a0);
    EXPECT_NE(h.camera.RenderFrame(1), a0);
    h.camera.SetSeed(99);
    EXPECT_NE(h.camera.RenderFrame(0), a0);
    h.camera.SetSeed(1);
    EXPECT_EQ(h.camera.RenderFrame(0), a0);

    // The noise is centred on the signal.
    h.camera.SetWindow(64, 64);
    h.AnnounceFrameSize(4096);
    double sum = 0;
    double sum_sq = 0;
    int count = 0;
    const std::vector<uint8_t> noisy = h.camera.RenderFrame(3);
    h.camera.SetNoise(false);
    const int clean = h.camera.RenderFrame(3)[0];
    for (uint32_t y = 0; y < 64; y += 2) {
        for (uint32_t x = 0; x < 64; x += 2) {
            sum += noisy[y * 64 + x];
            sum_sq += noisy[y * 64 + x] * noisy[y * 64 + x];
            ++count;
        }
    }
    const double mean = sum / count;
    EXPECT_NEAR(mean, clean, 1.0);
    EXPECT_GT(sum_sq / count - mean * mean, 1.0);
}

TEST_F(SimSensorTest, ChartSceneMovesWithTheFrameNumber) {
    h.camera.SetScene(sim::MakeChartScene());
    h.camera.SetWindow(320, 240);
    h.AnnounceFrameSize(320 * 240);
    const std::vector<uint8_t> f0 = h.camera.RenderFrame(0);
    const std::vector<uint8_t> f1 = h.camera.RenderFrame(1);
    EXPECT_NE(f0, f1);
    // The grey ramp at the bottom does not move and rises from left to right.
    const size_t ramp_row = 230 * 320;
    EXPECT_TRUE(std::equal(f0.begin() + ramp_row, f0.end(), f1.begin() + ramp_row));
    EXPECT_LT(f0[ramp_row + 10], f0[ramp_row + 160]);
    EXPECT_LT(f0[ramp_row + 160], f0[ramp_row + 310]);
    // The chart is not uniform: patches differ.
    EXPECT_NE(f0[60 * 320 + 30], f0[60 * 320 + 80]);
}

class SimPngSceneTest : public SimSensorTest {
  protected:
    std::string TempPath(const char* name) { return dir_.File(std::string(name) + ".png"); }
    // A 2 x 2 picture: red, green / blue, white.
    void WritePng(const std::string& path) {
        const uint8_t pixels[12] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
        WritePng(path, 2, 2, pixels);
    }
    void WritePng(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgb) {
        png_image image;
        std::memset(&image, 0, sizeof(image));
        image.version = PNG_IMAGE_VERSION;
        image.width = width;
        image.height = height;
        image.format = PNG_FORMAT_RGB;
        ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, rgb, 0, nullptr));
    }

    camtest::ScratchDir dir_;
};

TEST_F(SimPngSceneTest, PngSceneIsScaledOrTiledToTheWindow) {
    const std::string path = TempPath("sim_scene");
    WritePng(path);
    std::string error;
    ASSERT_TRUE(h.camera.SetScene(sim::LoadPngScene(path, sim::PngFit::kScale, &error))) << error;
    // Scaled to 16 x 8, each source pixel covers 8 x 4 samples: the top left is red.
    EXPECT_EQ(Sample(0, 0), 0);    // green site
    EXPECT_GT(Sample(1, 0), 100);  // red site
    EXPECT_EQ(Sample(0, 1), 0);    // blue site
    EXPECT_GT(Sample(8, 0), 100);  // green site in the green quarter
    EXPECT_EQ(Sample(9, 0), 0);
    EXPECT_GT(Sample(8, 5), 100);  // white quarter: every site lit
    EXPECT_GT(Sample(9, 4), 100);

    ASSERT_TRUE(h.camera.SetScene(sim::LoadPngScene(path, sim::PngFit::kTile, &error))) << error;
    // Tiled, the 2 x 2 picture repeats: every GRBG cell sees red, green, blue, white.
    EXPECT_EQ(Sample(0, 0), 0);  // red pixel at a green site
    EXPECT_EQ(Sample(1, 0), 0);  // green pixel at a red site
    EXPECT_EQ(Sample(0, 1), Sample(2, 1));
    EXPECT_GT(Sample(0, 1), 50);   // blue pixel at a blue site
    EXPECT_GT(Sample(1, 1), 100);  // white at a green site
}

// The bytes of each frame are a pure function of the scene, the read-out, the sensor settings and
// the frame number: these are the frames as first rendered, so any change to how frames are made
// must leave every one of them as it was. Settings run from black to saturated, with and without
// noise, on windows of odd sizes and with padding or a cut.
TEST_F(SimPngSceneTest, FramesStayTheBytesTheyWereFirstRenderedAs) {
    const std::string path = TempPath("sim_gradient");
    std::vector<uint8_t> pixels(7 * 5 * 3);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    WritePng(path, 7, 5, pixels.data());
    std::string error;
    const auto scaled = sim::LoadPngScene(path, sim::PngFit::kScale, &error);
    const auto tiled = sim::LoadPngScene(path, sim::PngFit::kTile, &error);
    ASSERT_TRUE(scaled != nullptr && tiled != nullptr) << error;
    const auto chart = sim::MakeChartScene();
    const auto flat = sim::MakeFlatScene(200);
    struct Case {
        const char* name;
        std::shared_ptr<const sim::Scene> scene;
        uint32_t width, height, size;
        uint32_t exposure, gain;
        bool noise;
        uint64_t seed;
        uint64_t frame;
        uint64_t hash;
    };
    const Case cases[] = {
        {"chart", chart, 1600, 1200, 1921024, 100, 512, true, 1, 0, 0x66d90eaa75514cf2ull},
        {"chart, next frame", chart, 1600, 1200, 1921024, 100, 512, true, 1, 1,
         0xce420741910f80c3ull},
        {"chart, square wrapped", chart, 1600, 1200, 1921024, 100, 512, true, 1, 200,
         0x7925f4487895eb26ull},
        {"chart, late frame", chart, 1600, 1200, 1921024, 100, 512, true, 1, 1000003,
         0xefd1f6785b6cc5ddull},
        {"chart, clean", chart, 1600, 1200, 1921024, 100, 512, false, 1, 5, 0xd58d90637b4e54baull},
        {"chart, other seed", chart, 1600, 1200, 1921024, 100, 512, true, 99, 5,
         0x8fe72a4bb71fdd9ull},
        {"chart, dark", chart, 1600, 1200, 1921024, 3, 512, true, 1, 2, 0xde50a21b88b295cbull},
        {"chart, black", chart, 640, 480, 307200, 0, 512, true, 1, 2, 0xf86ca50475f9c923ull},
        {"chart, saturated", chart, 640, 480, 307200, 4095, 1023, true, 1, 2,
         0x899123132ace583bull},
        {"chart, low gain", chart, 640, 480, 307200, 700, 40, true, 1, 2, 0x2ecb32021406642aull},
        {"chart, odd window", chart, 321, 241, 77824, 180, 600, true, 1, 9, 0xb534c5fcb3071962ull},
        {"chart, narrow", chart, 164, 120, 20480, 100, 512, true, 1, 3, 0xc1685eaa18a358bbull},
        {"chart, cut short", chart, 320, 240, 40000, 100, 512, true, 1, 4, 0x24e32728ff6c60e8ull},
        {"flat, tiny", flat, 16, 8, 128, 100, 512, true, 1, 0, 0x385212ba6c63be5aull},
        {"png scaled", scaled, 200, 150, 30720, 120, 480, true, 1, 6, 0xee54e587ec44d0b1ull},
        {"png tiled, clean", tiled, 99, 31, 4096, 120, 480, false, 1, 6, 0x1354a4f209942e71ull},
    };
    // Every register width the sensor renders with makes the same bytes.
    for (const uint32_t bits : {256u, 128u}) {
        if (sim::SetSensorVectorWidth(bits) != bits) {
            continue;  // this processor has no such registers
        }
        for (const Case& c : cases) {
            ASSERT_TRUE(h.camera.SetScene(c.scene));
            h.camera.SetWindow(c.width, c.height);
            h.camera.SetNoise(c.noise);
            h.camera.SetSeed(c.seed);
            h.SetExposure(c.exposure);
            h.SetGain(c.gain);
            h.AnnounceFrameSize(c.size);
            const std::vector<uint8_t> frame = h.camera.RenderFrame(c.frame);
            ASSERT_EQ(frame.size(), c.size) << c.name;
            uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
            for (uint8_t byte : frame) {
                hash = (hash ^ byte) * 0x100000001B3ull;
            }
            EXPECT_EQ(hash, c.hash)
                << c.name << ", " << bits << "-bit rows" << std::hex << " 0x" << hash;
        }
    }
    sim::SetSensorVectorWidth(256);
}

TEST_F(SimPngSceneTest, MissingOrBadFileIsAnErrorAndKeepsTheScene) {
    const std::vector<uint8_t> before = h.camera.RenderFrame(0);
    std::string error;
    EXPECT_FALSE(h.camera.SetScene(
        sim::LoadPngScene("/nonexistent/scene.png", sim::PngFit::kScale, &error)));
    EXPECT_NE(error.find("/nonexistent/scene.png"), std::string::npos) << error;

    const std::string path = TempPath("sim_bad");
    std::ofstream(path) << "not a picture at all";
    error.clear();
    EXPECT_FALSE(h.camera.SetScene(sim::LoadPngScene(path, sim::PngFit::kScale, &error)));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(h.camera.RenderFrame(0), before);

    // A small file whose header announces 16384 x 16384 pixels.
    WritePng(path);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    uint8_t ihdr[17];  // chunk type and data
    file.seekg(12);
    file.read(reinterpret_cast<char*>(ihdr), sizeof(ihdr));
    for (int at : {4, 8}) {
        ihdr[at] = 0;
        ihdr[at + 1] = 0;
        ihdr[at + 2] = 0x40;
        ihdr[at + 3] = 0;
    }
    const uint32_t crc = (uint32_t)crc32(0, ihdr, sizeof(ihdr));
    const uint8_t crc_bytes[4] = {(uint8_t)(crc >> 24), (uint8_t)(crc >> 16), (uint8_t)(crc >> 8),
                                  (uint8_t)crc};
    file.seekp(12);
    file.write(reinterpret_cast<const char*>(ihdr), sizeof(ihdr));
    file.write(reinterpret_cast<const char*>(crc_bytes), sizeof(crc_bytes));
    file.close();
    error.clear();
    EXPECT_FALSE(h.camera.SetScene(sim::LoadPngScene(path, sim::PngFit::kScale, &error)));
    EXPECT_NE(error.find("16384x16384, too large"), std::string::npos) << error;
    EXPECT_EQ(h.camera.RenderFrame(0), before);
}

}  // namespace
}  // namespace sim_test
