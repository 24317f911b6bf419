// JPEG pictures through libturbojpeg, at full size or halved (each 2 x 2 block of pixels averaged
// first, which costs less than encoding the four times larger picture).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/image_files.h"

namespace camtools {

inline constexpr int kDefaultJpegQuality = 90;
inline constexpr int kMinJpegQuality = 1;
inline constexpr int kMaxJpegQuality = 100;

class JpegEncoder {
  public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // The JPEG file of `image` (halved when `half`), top row first, into *jpeg; returns what
    // failed, or an empty string.
    std::string Encode(const ImageView& image, int quality, bool half, std::vector<uint8_t>* jpeg);

  private:
    void* handle_;
    std::vector<uint8_t> halved_;
};

// Each 2 x 2 block of `image` averaged into one pixel of `out` (top row first, packed); an odd
// last column or row is dropped.
ImageView Halve(const ImageView& image, std::vector<uint8_t>* out);

}  // namespace camtools
