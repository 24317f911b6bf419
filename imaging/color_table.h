// The colour settings as the colour model keeps them: for each, the item that names it, its value
// at device add, and how a processor takes it. The ranges are the contract's; nothing here needs
// the camera context, so tools give a processor its settings the way the camera does.
#pragma once

#include "camdrv/camera_properties.h"
#include "imaging/frame_processor.h"

struct ColorSetting {
    camdrv::CameraItem item;
    // The camera's value at device add and a new processor's start value, so that handing a new
    // processor an unchanged camera rebuilds nothing.
    LONG add_default;
    volatile LONG FrameProcessor::*field;
    // A tone setting's update, which rebuilds the colour matrix; null for a plain store.
    VOID (*update)(FrameProcessor* processor, LONG value);
};

inline constexpr ColorSetting kColorSettings[] = {
    {camdrv::CameraItem::ColorEnable, 1, &FrameProcessor::color_enable, nullptr},
    {camdrv::CameraItem::WhiteBalance, 0, &FrameProcessor::white_balance_auto, nullptr},
    {camdrv::CameraItem::RedGain, 128, &FrameProcessor::red_gain, nullptr},
    {camdrv::CameraItem::GreenGain, 128, &FrameProcessor::green_gain, nullptr},
    {camdrv::CameraItem::BlueGain, 128, &FrameProcessor::blue_gain, nullptr},
    {camdrv::CameraItem::ColorCorrection, 1, &FrameProcessor::color_correction,
     UpdateColorCorrection},
    {camdrv::CameraItem::Brightness, 255, &FrameProcessor::brightness, UpdateBrightness},
    {camdrv::CameraItem::Contrast, 10, &FrameProcessor::contrast, UpdateContrast},
    {camdrv::CameraItem::Saturation, 10, &FrameProcessor::saturation, UpdateSaturation},
    {camdrv::CameraItem::Hue, 0, &FrameProcessor::hue, UpdateHue},
};

// The row of a colour setting; null for an item that is not one.
constexpr const ColorSetting* FindColorSetting(camdrv::CameraItem item) {
    for (const ColorSetting& setting : kColorSettings) {
        if (setting.item == item)
            return &setting;
    }
    return nullptr;
}

// The row of an item known to be a colour setting, at compile time.
consteval const ColorSetting& ColorSettingOf(camdrv::CameraItem item) {
    return *FindColorSetting(item);
}

// The value a colour setting keeps: within the range its items report, where it has one. Compared
// signed.
constexpr LONG ClampColorSetting(camdrv::CameraItem item, LONG value) {
    const camdrv::RangeItems* range = camdrv::RangeItemsOf(item);
    if (range == nullptr)
        return value;
    const LONG low = camdrv::ItemInfo(range->min).fixed_value;
    const LONG high = camdrv::ItemInfo(range->max).fixed_value;
    return value < low ? low : value > high ? high : value;
}

// Hands a processor a value as it is: a tone update, or an interlocked store.
VOID StoreColorSetting(FrameProcessor* processor, const ColorSetting& setting, LONG value);
// Gives a processor one colour setting, clamped as the camera's own setter clamps it. False, and
// nothing changed, for an item that is not a colour setting.
bool SetProcessorColor(FrameProcessor* processor, camdrv::CameraItem item, LONG value);
