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

// Columns [x0, x1) of rows [y0, y1) of the read-out window.
struct Area {
    uint32_t x0 = 0;
    uint32_t y0 = 0;
    uint32_t x1 = 0;
    uint32_t y1 = 0;
};

class Scene {
  public:
    virtual ~Scene() = default;
    // Fills columns [x0, x1) of row y (of a width x height window) for frame `frame_number` into
    // out[x0..x1).
    virtual void Row(uint32_t y, uint32_t x0, uint32_t x1, uint32_t width, uint32_t height,
                     uint64_t frame_number, Rgb* out) const = 0;
    // Where frame `frame_number` may differ from the scene's other frames; everywhere else every
    // frame is the same. A still scene moves nowhere.
    virtual Area Moving(uint32_t, uint32_t, uint64_t) const { return {}; }
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
