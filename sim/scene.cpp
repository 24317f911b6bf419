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

// The moving square: a tenth of the window high, centred on the chart's rows, crossing it one step
// per frame.
Area SquareOf(uint32_t width, uint32_t height, uint64_t frame_number) {
    const uint32_t chart_height = height * 3 / 4;
    const uint32_t square = std::max<uint32_t>(height / 10, 2);
    const uint32_t square_y = chart_height > square ? (chart_height - square) / 2 : 0;
    const uint32_t travel = width > square ? width - square : 1;
    const uint32_t square_x = static_cast<uint32_t>((frame_number * 8) % travel);
    return {square_x, square_y, std::min(width, square_x + square), square_y + square};
}

class ChartScene : public Scene {
  public:
    void Row(uint32_t y, uint32_t x0, uint32_t x1, uint32_t width, uint32_t height,
             uint64_t frame_number, Rgb* out) const override {
        const uint32_t chart_height = height * 3 / 4;
        if (y < chart_height) {
            const uint32_t row = y * kChartRows / chart_height;
            const uint32_t row_top = row * chart_height / kChartRows;
            const uint32_t row_height = (row + 1) * chart_height / kChartRows - row_top;
            // A dark border around each patch.
            const bool border_row = y - row_top < row_height / 16;
            for (uint32_t column = 0; column < kChartColumns; ++column) {
                const uint32_t left = column * width / kChartColumns;
                const uint32_t right = (column + 1) * width / kChartColumns;
                const uint32_t border_end = border_row ? right : left + (right - left) / 16;
                const Rgb colour = PatchColour(column, row);
                for (uint32_t x = std::max(left, x0); x < std::min(right, x1); ++x) {
                    out[x] = x < border_end ? Rgb{0.02f, 0.02f, 0.02f} : colour;
                }
            }
        } else {
            for (uint32_t x = x0; x < x1; ++x) {
                const float level = width > 1 ? static_cast<float>(x) / (width - 1) : 0.0f;
                out[x] = {level, level, level};
            }
        }
        const Area square = SquareOf(width, height, frame_number);
        if (y >= square.y0 && y < square.y1) {
            for (uint32_t x = std::max(square.x0, x0); x < std::min(square.x1, x1); ++x) {
                out[x] = {0.95f, 0.95f, 0.95f};
            }
        }
    }
    Area Moving(uint32_t width, uint32_t height, uint64_t frame_number) const override {
        return SquareOf(width, height, frame_number);
    }
};

class FlatScene : public Scene {
  public:
    explicit FlatScene(uint8_t level) : level_(static_cast<float>(level) / 255.0f) {}
    void Row(uint32_t, uint32_t x0, uint32_t x1, uint32_t, uint32_t, uint64_t,
             Rgb* out) const override {
        for (uint32_t x = x0; x < x1; ++x) {
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
