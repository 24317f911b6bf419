// The tools' image writers: byte layout of BGRA, the bottom-up bitmap, and a PNG that reads back,
// from pictures stored top row first and bottom row first.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"
#include "tools/common/image_files.h"

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
    std::string Path(const std::string& ending) { return dir_.File("img" + ending); }
    // Three columns, two rows; every byte distinct.
    const std::vector<uint32_t> pixels_ = {0xFF010203, 0xFF040506, 0xFF070809,
                                           0xFF0A0B0C, 0xFF0D0E0F, 0xFF101112};
    // The same picture, rows 16 bytes apart, as stored top row first or bottom row first.
    camtools::ImageView View(bool bottom_up) {
        stored_.assign(8, 0xEEEEEEEE);
        for (int row = 0; row < 2; ++row) {
            const int memory_row = bottom_up ? 1 - row : row;
            std::copy_n(pixels_.begin() + 3 * row, 3, stored_.begin() + 4 * memory_row);
        }
        camtools::ImageView view;
        view.bgra = reinterpret_cast<const uint8_t*>(stored_.data());
        view.width = 3;
        view.height = 2;
        view.stride = 16;
        view.bottom_up = bottom_up;
        return view;
    }
    std::string Write(const std::string& ending, bool bottom_up = false) {
        const std::string path = Path(ending);
        camtools::ImageFormat format;
        EXPECT_TRUE(camtools::FormatOfFileName(path, &format));
        EXPECT_EQ(camtools::WriteImage(path, format, View(bottom_up)), "");
        return path;
    }
    std::vector<uint32_t> stored_;

    camtest::ScratchDir dir_;
};

TEST_F(ImageFiles, BgraIsThePixelsInMemoryOrder) {
    const auto bytes = ReadFile(Write(".bgra"));
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(bytes[0], 0x03);  // blue first
    EXPECT_EQ(bytes[1], 0x02);
    EXPECT_EQ(bytes[2], 0x01);
    EXPECT_EQ(bytes[3], 0xFF);
    EXPECT_EQ(Le32(bytes, 20), 0xFF101112u);
}

TEST_F(ImageFiles, BitmapIsBottomUpWhateverTheStoredOrder) {
    for (bool bottom_up : {false, true}) {
        const auto bytes = ReadFile(Write(".bmp", bottom_up));
        ASSERT_EQ(bytes.size(), 54u + 24);
        EXPECT_EQ(bytes[0], 'B');
        EXPECT_EQ(bytes[1], 'M');
        EXPECT_EQ(Le32(bytes, 2), 78u);
        EXPECT_EQ(Le32(bytes, 10), 54u);
        EXPECT_EQ(Le32(bytes, 18), 3u);
        EXPECT_EQ(Le32(bytes, 22), 2u);
        EXPECT_EQ(bytes[28], 32);
        // The last picture row comes first, packed.
        EXPECT_EQ(Le32(bytes, 54), 0xFF0A0B0Cu) << bottom_up;
        EXPECT_EQ(Le32(bytes, 54 + 12), 0xFF010203u) << bottom_up;
    }
}

TEST_F(ImageFiles, PngReadsBackTopRowFirst) {
    for (bool bottom_up : {false, true}) {
        const std::string path = Write(".png", bottom_up);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0);
        EXPECT_EQ(image.width, 3u);
        EXPECT_EQ(image.height, 2u);
        image.format = PNG_FORMAT_BGRA;
        std::vector<uint32_t> back(6);
        ASSERT_NE(png_image_finish_read(&image, nullptr, back.data(), 0, nullptr), 0);
        EXPECT_EQ(back, pixels_) << bottom_up;
    }
}

TEST_F(ImageFiles, UnknownEndingAndUnwritablePathAreErrors) {
    camtools::ImageFormat format;
    EXPECT_FALSE(camtools::FormatOfFileName("x.jpg", &format));
    for (camtools::ImageFormat each :
         {camtools::ImageFormat::kBgra, camtools::ImageFormat::kBmp, camtools::ImageFormat::kPng}) {
        EXPECT_NE(camtools::WriteImage("/nonexistent-dir/x", each, View(false)), "");
        EXPECT_NE(camtools::WriteImage("/dev/full", each, View(false)), "");
    }
}

}  // namespace
