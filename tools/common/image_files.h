// Writing 32-bit pictures (blue, green, red, 255 per pixel) to image files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace camtools {

// Pixels in memory: `height` rows of `width` pixels, `stride` bytes apart, the first row in memory
// the top of the picture unless bottom_up (as a delivered bitmap has it).
struct ImageView {
    const uint8_t* bgra = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t stride = 0;
    bool bottom_up = false;

    // Row `y` counted from the top of the picture.
    const uint8_t* TopRow(uint32_t y) const {
        return bgra + (size_t)(bottom_up ? height - 1 - y : y) * stride;
    }
};

// Each returns an empty string on success, else what went wrong.
// The pixels as they are in memory, row after row, packed: exactly the bytes of the view.
std::string WriteBgra(const std::string& path, const ImageView& image);
// A 32-bit bitmap with a positive height: bottom row first in the file, as clients receive it.
std::string WriteBmp(const std::string& path, const ImageView& image);
// RGB, 8 bits a channel, top row first; compressed for speed, since capture writes one file a
// frame.
std::string WritePng(const std::string& path, const ImageView& image);
// The same PNG file's bytes, into *png.
std::string EncodePng(const ImageView& image, std::string* png);
// `size` bytes from `data` as the whole file.
std::string WriteFileBytes(const std::string& path, const void* data, size_t size);

enum class ImageFormat { kBgra, kBmp, kPng };
// The format a file name's ending (.bgra, .bmp, .png) picks; false for any other ending.
bool FormatOfFileName(const std::string& path, ImageFormat* format);
std::string WriteImage(const std::string& path, ImageFormat format, const ImageView& image);

}  // namespace camtools
