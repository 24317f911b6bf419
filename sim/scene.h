// What the sensor looks at: linear red, green and blue reflectance (0..1) at each pixel of the
// read-out window. Scenes are immutable once built, so a frame in flight keeps the one it started
// with while the host switches to another.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct Rgb {
    float r = 0;
    float g = 0;
    float b = 0;
};

class Scene {
  public:
    virtual ~Scene() = default;
    // Fills row y (of a width x height window) for frame `frame_number` into out[0..width).
    virtual void Row(uint32_t y, uint32_t width, uint32_t height, uint64_t frame_number,
                     Rgb* out) const = 0;
};

// A chart of coloured patches over a grey ramp, with a bright square that moves one step per
// frame so consecutive frames differ.
std::shared_ptr<const Scene> MakeChartScene();
// The same grey level (0..255 as a fraction of white) everywhere.
std::shared_ptr<const Scene> MakeFlatScene(uint8_t level);

enum class PngFit {
    kScale,  // stretched to the window, nearest neighbour
    kTile,   // repeated from the top left corner at its own size
};

// Loads a PNG file of any bit depth and colour type. On failure returns null and says why.
std::shared_ptr<const Scene> LoadPngScene(const std::string& path, PngFit fit, std::string* error);

}  // namespace sim
