// camctl's image writers: byte layout of BGRA, the bottom-up bitmap, and a PNG that reads back.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/camctl/image_files.h"

namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | (uint32_t)bytes[at + 3] << 24;
}

class ImageFiles : public testing::Test {
  protected:
    std::string Path(const std::string& ending) {
        paths_.push_back(testing::TempDir() + "img_" + std::to_string(getpid()) + ending);
        return paths_.back();
    }
    void TearDown() override {
        for (const std::string& path : paths_)
            std::remove(path.c_str());
    }
    // Three columns, two rows; every byte distinct.
    const std::vector<uint32_t> pixels_ = {0xFF010203, 0xFF040506, 0xFF070809,
                                           0xFF0A0B0C, 0xFF0D0E0F, 0xFF101112};

  private:
    std::vector<std::string> paths_;
};

TEST_F(ImageFiles, BgraIsThePixelsInMemoryOrder) {
    const std::string path = Path(".bgra");
    ASSERT_EQ(camctl::WriteImage(path, pixels_, 3, 2), "");
    const auto bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(bytes[0], 0x03);  // blue first
    EXPECT_EQ(bytes[1], 0x02);
    EXPECT_EQ(bytes[2], 0x01);
    EXPECT_EQ(bytes[3], 0xFF);
    EXPECT_EQ(Le32(bytes, 20), 0xFF101112u);
}

TEST_F(ImageFiles, BitmapIsBottomUp) {
    const std::string path = Path(".bmp");
    ASSERT_EQ(camctl::WriteImage(path, pixels_, 3, 2), "");
    const auto bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 54u + 24);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
    EXPECT_EQ(Le32(bytes, 2), 78u);
    EXPECT_EQ(Le32(bytes, 10), 54u);
    EXPECT_EQ(Le32(bytes, 18), 3u);
    EXPECT_EQ(Le32(bytes, 22), 2u);
    EXPECT_EQ(bytes[28], 32);
    // The last image row comes first.
    EXPECT_EQ(Le32(bytes, 54), 0xFF0A0B0Cu);
    EXPECT_EQ(Le32(bytes, 54 + 12), 0xFF010203u);
}

TEST_F(ImageFiles, PngReadsBack) {
    const std::string path = Path(".png");
    ASSERT_EQ(camctl::WriteImage(path, pixels_, 3, 2), "");
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0);
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.height, 2u);
    image.format = PNG_FORMAT_BGRA;
    std::vector<uint32_t> back(6);
    ASSERT_NE(png_image_finish_read(&image, nullptr, back.data(), 0, nullptr), 0);
    EXPECT_EQ(back, pixels_);
}

TEST_F(ImageFiles, UnknownEndingAndUnwritablePathAreErrors) {
    EXPECT_NE(camctl::WriteImage(Path(".jpg"), pixels_, 3, 2), "");
    EXPECT_NE(camctl::WriteImage("/nonexistent-dir/x.bmp", pixels_, 3, 2), "");
    EXPECT_NE(camctl::WriteImage("/nonexistent-dir/x.png", pixels_, 3, 2), "");
}

}  // namespace
