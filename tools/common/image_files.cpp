// BMP, PNG and raw BGRA writers.
#include "tools/common/image_files.h"

#include <png.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace camtools {

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string OpenError(const std::string& path) {
    return "cannot write " + path + ": " + std::strerror(errno);
}

bool EndsWith(const std::string& text, const std::string& ending) {
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

void PutLittleEndian(uint8_t* at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = (uint8_t)(value >> (8 * i));
}

// Writes the rows in the order given by `row`, packed; then closes the file.
template <typename RowOf>
std::string WriteRows(File file, const std::string& path, const ImageView& image, RowOf row) {
    const size_t row_bytes = (size_t)image.width * 4;
    for (uint32_t i = 0; i < image.height; ++i) {
        if (std::fwrite(row(i), 1, row_bytes, file.get()) != row_bytes)
            return "cannot write " + path + ": " + std::strerror(errno);
    }
    if (std::fclose(file.release()) != 0)
        return "cannot write " + path + ": " + std::strerror(errno);
    return "";
}

// Writes the PNG file of `image` through `write`, which gets `io`.
std::string EncodePngTo(const ImageView& image, png_rw_ptr write, void* io) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return "out of memory";
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "the PNG encoder failed";
    }
    png_set_write_fn(png, io, write, nullptr);
    // Each row predicted from the one above, then Huffman coding alone: a camera picture with
    // sensor noise compresses about as well as with the default effort, ten times faster.
    png_set_compression_strategy(png, Z_HUFFMAN_ONLY);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    // The rows go in as they are: blue first, and a fourth byte that the file does not keep.
    png_set_bgr(png);
    png_set_filler(png, 0, PNG_FILLER_AFTER);
    for (uint32_t y = 0; y < image.height; ++y)
        png_write_row(png, image.TopRow(y));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return "";
}

void WriteToFile(png_structp png, png_bytep data, size_t length) {
    FILE* file = static_cast<FILE*>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, length, file) != length)
        png_error(png, "write failed");
}

void AppendToString(png_structp png, png_bytep data, size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), length);
}

}  // namespace

std::string WriteBgra(const std::string& path, const ImageView& image) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return OpenError(path);
    return WriteRows(std::move(file), path, image,
                     [&](uint32_t i) { return image.bgra + (size_t)i * image.stride; });
}

std::string WriteBmp(const std::string& path, const ImageView& image) {
    const uint32_t image_size = image.width * image.height * 4;
    uint8_t header[54] = {'B', 'M'};
    PutLittleEndian(header + 2, 54 + image_size, 4);
    PutLittleEndian(header + 10, 54, 4);  // pixel data offset
    PutLittleEndian(header + 14, 40, 4);  // info header size
    PutLittleEndian(header + 18, image.width, 4);
    PutLittleEndian(header + 22, image.height, 4);  // positive: bottom-up
    PutLittleEndian(header + 26, 1, 2);             // planes
    PutLittleEndian(header + 28, 32, 2);            // bits per pixel
    PutLittleEndian(header + 34, image_size, 4);    // uncompressed
    PutLittleEndian(header + 38, 2835, 4);          // 72 dpi
    PutLittleEndian(header + 42, 2835, 4);
    File file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return OpenError(path);
    if (std::fwrite(header, 1, sizeof(header), file.get()) != sizeof(header))
        return "cannot write " + path + ": " + std::strerror(errno);
    return WriteRows(std::move(file), path, image,
                     [&](uint32_t i) { return image.TopRow(image.height - 1 - i); });
}

std::string WritePng(const std::string& path, const ImageView& image) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return OpenError(path);
    const std::string problem = EncodePngTo(image, WriteToFile, file.get());
    if (!problem.empty())
        return "cannot write " + path + ": " + problem;
    if (std::fclose(file.release()) != 0)
        return "cannot write " + path + ": " + std::strerror(errno);
    return "";
}

std::string EncodePng(const ImageView& image, std::string* png) {
    png->clear();
    return EncodePngTo(image, AppendToString, png);
}

std::string WriteFileBytes(const std::string& path, const void* data, size_t size) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return OpenError(path);
    const bool written = std::fwrite(data, 1, size, file.get()) == size;
    if (std::fclose(file.release()) != 0 || !written)
        return "cannot write " + path + ": " + std::strerror(errno);
    return "";
}

bool FormatOfFileName(const std::string& path, ImageFormat* format) {
    if (EndsWith(path, ".bgra"))
        *format = ImageFormat::kBgra;
    else if (EndsWith(path, ".bmp"))
        *format = ImageFormat::kBmp;
    else if (EndsWith(path, ".png"))
        *format = ImageFormat::kPng;
    else
        return false;
    return true;
}

std::string WriteImage(const std::string& path, ImageFormat format, const ImageView& image) {
    switch (format) {
        case ImageFormat::kBgra:
            return WriteBgra(path, image);
        case ImageFormat::kBmp:
            return WriteBmp(path, image);
        case ImageFormat::kPng:
            return WritePng(path, image);
    }
    return "unknown image format";
}

}  // namespace camtools
