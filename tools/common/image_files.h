// Writing converted frames (blue, green, red, 255 pixels, top row first) to image files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camctl {

// Each returns an empty string on success, else what went wrong.
std::string WriteBgra(const std::string& path, const std::vector<uint32_t>& pixels);
// A bottom-up 32-bit bitmap, the row order a client receives.
std::string WriteBmp(const std::string& path, const std::vector<uint32_t>& pixels, uint32_t width,
                     uint32_t height);
std::string WritePng(const std::string& path, const std::vector<uint32_t>& pixels, uint32_t width,
                     uint32_t height);
// Whether the path ends in one of the endings WriteImage knows.
bool IsImageFileName(const std::string& path);
// Picks the writer by the path's ending (.bgra, .bmp, .png); an unknown ending is an error.
std::string WriteImage(const std::string& path, const std::vector<uint32_t>& pixels, uint32_t width,
                       uint32_t height);

}  // namespace camctl
