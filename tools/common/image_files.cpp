// BMP, PNG and raw BGRA writers.
#include "tools/camctl/image_files.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace camctl {

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

void PutLittleEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back((uint8_t)(value >> (8 * i)));
}

// The pixels as bytes, in memory order blue, green, red, alpha.
std::vector<uint8_t> PixelBytes(const uint32_t* pixels, size_t count) {
    std::vector<uint8_t> bytes;
    bytes.reserve(count * 4);
    for (size_t i = 0; i < count; ++i)
        PutLittleEndian(bytes, pixels[i], 4);
    return bytes;
}

std::string WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return OpenError(path);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        return "cannot write " + path;
    }
    if (std::fclose(file.release()) != 0)
        return "cannot write " + path;
    return "";
}

}  // namespace

std::string WriteBgra(const std::string& path, const std::vector<uint32_t>& pixels) {
    return WriteAll(path, PixelBytes(pixels.data(), pixels.size()));
}

std::string WriteBmp(const std::string& path, const std::vector<uint32_t>& pixels, uint32_t width,
                     uint32_t height) {
    const uint32_t image_size = width * height * 4;
    std::vector<uint8_t> out;
    out.reserve(54 + image_size);
    out.push_back('B');
    out.push_back('M');
    PutLittleEndian(out, 54 + image_size, 4);
    PutLittleEndian(out, 0, 4);
    PutLittleEndian(out, 54, 4);  // pixel data offset
    PutLittleEndian(out, 40, 4);  // info header size
    PutLittleEndian(out, width, 4);
    PutLittleEndian(out, height, 4);  // positive: bottom-up
    PutLittleEndian(out, 1, 2);       // planes
    PutLittleEndian(out, 32, 2);      // bits per pixel
    PutLittleEndian(out, 0, 4);       // uncompressed
    PutLittleEndian(out, image_size, 4);
    PutLittleEndian(out, 2835, 4);  // 72 dpi
    PutLittleEndian(out, 2835, 4);
    PutLittleEndian(out, 0, 4);
    PutLittleEndian(out, 0, 4);
    for (uint32_t row = height; row-- > 0;) {
        const std::vector<uint8_t> bytes = PixelBytes(pixels.data() + (size_t)row * width, width);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return WriteAll(path, out);
}

std::string WritePng(const std::string& path, const std::vector<uint32_t>& pixels, uint32_t width,
                     uint32_t height) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return OpenError(path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return "cannot write " + path + ": out of memory";
    }
    std::vector<uint8_t> row(width * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "cannot write " + path;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t pixel = pixels[(size_t)y * width + x];
            row[3 * x] = (uint8_t)(pixel >> 16);
            row[3 * x + 1] = (uint8_t)(pixel >> 8);
            row[3 * x + 2] = (uint8_t)pixel;
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file.release()) != 0)
        return "cannot write " + path;
    return "";
}

bool IsImageFileName(const std::string& path) {
    return EndsWith(path, ".bgra") || EndsWith(path, ".bmp") || EndsWith(path, ".png");
}

std::string WriteImage(const std::string& path, const std::vector<uint32_t>& pixels, uint32_t width,
                       uint32_t height) {
    if (EndsWith(path, ".bgra"))
        return WriteBgra(path, pixels);
    if (EndsWith(path, ".bmp"))
        return WriteBmp(path, pixels, width, height);
    if (EndsWith(path, ".png"))
        return WritePng(path, pixels, width, height);
    return "unknown output format for " + path + " (use .bgra, .bmp or .png)";
}

}  // namespace camctl
