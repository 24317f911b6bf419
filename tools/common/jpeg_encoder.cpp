#include "tools/common/jpeg_encoder.h"

#include <turbojpeg.h>

namespace camtools {

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder() {
    if (handle_ != nullptr)
        tjDestroy(handle_);
}

std::string JpegEncoder::Encode(const ImageView& image, int quality, bool half,
                                std::vector<uint8_t>* jpeg) {
    if (handle_ == nullptr)
        return "the JPEG encoder could not be set up";
    const ImageView source = half ? Halve(image, &halved_) : image;
    if (source.width == 0 || source.height == 0)
        return "the picture is empty";
    // Bottom-up rows are read as they lie, with the library's own flag: no copy.
    const int flags = TJFLAG_FASTDCT | (source.bottom_up ? TJFLAG_BOTTOMUP : 0);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle_, source.bgra, (int)source.width, (int)source.stride, (int)source.height,
                    TJPF_BGRX, &out, &size, TJSAMP_420, quality, flags) != 0) {
        const std::string why = tjGetErrorStr2(handle_);
        tjFree(out);
        return "JPEG encoding failed: " + why;
    }
    jpeg->assign(out, out + size);
    tjFree(out);
    return "";
}

ImageView Halve(const ImageView& image, std::vector<uint8_t>* out) {
    const uint32_t width = image.width / 2;
    const uint32_t height = image.height / 2;
    out->resize((size_t)width * height * 4);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* upper = image.TopRow(2 * y);
        const uint8_t* lower = image.TopRow(2 * y + 1);
        uint8_t* row = out->data() + (size_t)y * width * 4;
        for (uint32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 4; ++c) {
                const unsigned sum = upper[8 * x + c] + upper[8 * x + 4 + c] + lower[8 * x + c] +
                                     lower[8 * x + 4 + c];
                row[4 * x + c] = (uint8_t)((sum + 2) / 4);
            }
        }
    }
    ImageView halved;
    halved.bgra = out->data();
    halved.width = width;
    halved.height = height;
    halved.stride = (size_t)width * 4;
    return halved;
}

}  // namespace camtools
