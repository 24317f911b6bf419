#include "sim/scene.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr uint32_t kChartColumns = 6;
constexpr uint32_t kChartRows = 4;

// Patch colours: hues around the wheel at three saturations, then a neutral row.
Rgb PatchColour(uint32_t column, uint32_t row) {
    if (row == kChartRows - 1) {
        const float level = 0.05f + 0.17f * static_cast<float>(kChartColumns - 1 - column);
        return {level, level, level};
    }
    const float hue = static_cast<float>(column) / kChartColumns * 6.0f;
    const float saturation = 1.0f - 0.3f * static_cast<float>(row);
    const float value = 0.85f - 0.15f * static_cast<float>(row);
    const int sector = static_cast<int>(hue) % 6;
    const float f = hue - std::floor(hue);
    const float p = value * (1 - saturation);
    const float q = value * (1 - saturation * f);
    const float t = value * (1 - saturation * (1 - f));
    switch (sector) {
        case 0:
            return {value, t, p};
        case 1:
            return {q, value, p};
        case 2:
            return {p, value, t};
        case 3:
            return {p, q, value};
        case 4:
            return {t, p, value};
        default:
            return {value, p, q};
    }
}

class ChartScene : public Scene {
  public:
    void Row(uint32_t y, uint32_t width, uint32_t height, uint64_t frame_number,
             Rgb* out) const override {
        const uint32_t chart_height = height * 3 / 4;
        const uint32_t square = std::max<uint32_t>(height / 10, 2);
        const uint32_t travel = width > square ? width - square : 1;
        const uint32_t square_x = static_cast<uint32_t>((frame_number * 8) % travel);
        const uint32_t square_y = chart_height > square ? (chart_height - square) / 2 : 0;
        const bool in_square_rows = y >= square_y && y < square_y + square;
        for (uint32_t x = 0; x < width; ++x) {
            Rgb colour;
            if (in_square_rows && x >= square_x && x < square_x + square) {
                colour = {0.95f, 0.95f, 0.95f};
            } else if (y < chart_height) {
                const uint32_t column = x * kChartColumns / width;
                const uint32_t row = y * kChartRows / std::max<uint32_t>(chart_height, 1);
                // A dark border around each patch.
                const uint32_t cx = x * kChartColumns % width;
                const uint32_t cy = y * kChartRows % std::max<uint32_t>(chart_height, 1);
                const bool border = cx < width / 16 || cy < chart_height / 16;
                colour = border ? Rgb{0.02f, 0.02f, 0.02f} : PatchColour(column, row);
            } else {
                const float level = width > 1 ? static_cast<float>(x) / (width - 1) : 0.0f;
                colour = {level, level, level};
            }
            out[x] = colour;
        }
    }
};

class FlatScene : public Scene {
  public:
    explicit FlatScene(uint8_t level) : level_(static_cast<float>(level) / 255.0f) {}
    void Row(uint32_t, uint32_t width, uint32_t, uint64_t, Rgb* out) const override {
        for (uint32_t x = 0; x < width; ++x) {
            out[x] = {level_, level_, level_};
        }
    }

  private:
    float level_;
};

}  // namespace

std::shared_ptr<const Scene> MakeChartScene() {
    return std::make_shared<ChartScene>();
}

std::shared_ptr<const Scene> MakeFlatScene(uint8_t level) {
    return std::make_shared<FlatScene>(level);
}

}  // namespace sim
