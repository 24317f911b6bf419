#include "tools/common/jpeg_encoder.h"

#include <emmintrin.h>
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

namespace {

// Four pixels of two rows into the rounded means of their two 2 x 2 blocks, 16 bits a channel
// until the end, so the result is exactly that of the plain sum.
void HalveFour(const uint8_t* upper, const uint8_t* lower, uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(upper));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lower));
    const __m128i first = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
    const __m128i second = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
    const __m128i sums = _mm_unpacklo_epi64(_mm_add_epi16(first, _mm_srli_si128(first, 8)),
                                            _mm_add_epi16(second, _mm_srli_si128(second, 8)));
    const __m128i means = _mm_srli_epi16(_mm_add_epi16(sums, _mm_set1_epi16(2)), 2);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(means, zero));
}

void HalveOne(const uint8_t* upper, const uint8_t* lower, uint8_t* out) {
    for (int c = 0; c < 4; ++c) {
        const unsigned sum = upper[c] + upper[4 + c] + lower[c] + lower[4 + c];
        out[c] = (uint8_t)((sum + 2) / 4);
    }
}

}  // namespace

ImageView Halve(const ImageView& image, std::vector<uint8_t>* out) {
    const uint32_t width = image.width / 2;
    const uint32_t height = image.height / 2;
    out->resize((size_t)width * height * 4);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* upper = image.TopRow(2 * y);
        const uint8_t* lower = image.TopRow(2 * y + 1);
        uint8_t* row = out->data() + (size_t)y * width * 4;
        uint32_t x = 0;
        for (; x + 2 <= width; x += 2)
            HalveFour(upper + 8 * x, lower + 8 * x, row + 4 * x);
        for (; x < width; ++x)
            HalveOne(upper + 8 * x, lower + 8 * x, row + 4 * x);
    }
    ImageView halved;
    halved.bgra = out->data();
    halved.width = width;
    halved.height = height;
    halved.stride = (size_t)width * 4;
    return halved;
}

}  // namespace camtools
