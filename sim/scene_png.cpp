#include <png.h>

#include <cstring>

#include "sim/scene.h"

namespace sim {

namespace {

// The scene is scaled or tiled to a read-out window of at most the sensor's size, so anything
// larger only costs memory; and the header alone may announce it, in a file of a few bytes.
constexpr uint32_t kMaxSide = 16384;
constexpr uint64_t kMaxPixels = 4096 * 4096;

class PngScene : public Scene {
  public:
    PngScene(uint32_t width, uint32_t height, std::vector<uint8_t> rgb, PngFit fit)
        : width_(width), height_(height), rgb_(std::move(rgb)), fit_(fit) {}

    void Row(uint32_t y, uint32_t x0, uint32_t x1, uint32_t width, uint32_t height, uint64_t,
             Rgb* out) const override {
        const uint32_t sy = fit_ == PngFit::kScale
                                ? static_cast<uint32_t>(uint64_t{y} * height_ / height)
                                : y % height_;
        const uint8_t* row = rgb_.data() + size_t{sy} * width_ * 3;
        for (uint32_t x = x0; x < x1; ++x) {
            const uint32_t sx = fit_ == PngFit::kScale
                                    ? static_cast<uint32_t>(uint64_t{x} * width_ / width)
                                    : x % width_;
            const uint8_t* pixel = row + size_t{sx} * 3;
            out[x] = {pixel[0] / 255.0f, pixel[1] / 255.0f, pixel[2] / 255.0f};
        }
    }

  private:
    uint32_t width_;
    uint32_t height_;
    std::vector<uint8_t> rgb_;
    PngFit fit_;
};

}  // namespace

std::shared_ptr<const Scene> LoadPngScene(const std::string& path, PngFit fit, std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        if (error != nullptr) {
            *error = path + ": " + image.message;
        }
        png_image_free(&image);
        return nullptr;
    }
    image.format = PNG_FORMAT_RGB;
    // Checked on the header, before the pixels are allocated.
    if (image.width == 0 || image.height == 0 || image.width > kMaxSide ||
        image.height > kMaxSide || uint64_t{image.width} * image.height > kMaxPixels) {
        if (error != nullptr) {
            *error = path + ": the picture is " + std::to_string(image.width) + "x" +
                     std::to_string(image.height) +
                     ", too large for a scene (at most 16 Mpixels, 16384 on a side)";
        }
        png_image_free(&image);
        return nullptr;
    }
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
        if (error != nullptr) {
            *error = path + ": " + image.message;
        }
        png_image_free(&image);
        return nullptr;
    }
    return std::make_shared<PngScene>(image.width, image.height, std::move(rgb), fit);
}

}  // namespace sim
