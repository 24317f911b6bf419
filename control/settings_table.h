// The settings the camera context keeps: for each its property, its field, its value after Add and
// the value a settings load uses when the registry has none. The names, the ranges and everything
// else a client sees come from the property table.
#pragma once

#include "camdrv/camera_properties.h"
#include "driver/camera_context.h"
#include "imaging/color_table.h"

struct SettingEntry {
    camdrv::CameraItem item;  // the registry value carries the item's name
    ULONG field;              // offset of the setting's 32-bit field in CameraContext
    LONG add_default;
    LONG missing_default;
    bool default_is_camera_clock;  // missing: the clock setting the camera reports instead
};

// A colour setting, whose value after Add is the colour model's.
constexpr SettingEntry ColorRow(camdrv::CameraItem item, ULONG field, LONG missing_default) {
    return {item, field, FindColorSetting(item)->add_default, missing_default, false};
}

// In the order loads and saves visit the registry values.
inline constexpr SettingEntry kSettings[] = {
    {camdrv::CameraItem::Timeout, offsetof(CameraContext, timeout_ms), 3000, 3000, false},
    // Unprogrammed until a load applies the persisted exposure, 2 when there is none.
    {camdrv::CameraItem::Exposure, offsetof(CameraContext, exposure), 0, 2, false},
    {camdrv::CameraItem::GlobalGain, offsetof(CameraContext, global_gain), 0, 0, false},
    {camdrv::CameraItem::FlipH, offsetof(CameraContext, flip_h), 0, 0, false},
    {camdrv::CameraItem::FlipV, offsetof(CameraContext, flip_v), 0, 0, false},
    ColorRow(camdrv::CameraItem::ColorEnable, offsetof(CameraContext, color_enable), 1),
    ColorRow(camdrv::CameraItem::WhiteBalance, offsetof(CameraContext, white_balance_auto), 0),
    ColorRow(camdrv::CameraItem::ColorCorrection, offsetof(CameraContext, color_correction), 1),
    ColorRow(camdrv::CameraItem::Brightness, offsetof(CameraContext, brightness), 255),
    ColorRow(camdrv::CameraItem::Contrast, offsetof(CameraContext, contrast), 10),
    ColorRow(camdrv::CameraItem::Saturation, offsetof(CameraContext, saturation), 10),
    ColorRow(camdrv::CameraItem::Hue, offsetof(CameraContext, hue), 0),
    ColorRow(camdrv::CameraItem::RedGain, offsetof(CameraContext, red_gain), 128),
    ColorRow(camdrv::CameraItem::GreenGain, offsetof(CameraContext, green_gain), 128),
    ColorRow(camdrv::CameraItem::BlueGain, offsetof(CameraContext, blue_gain), 128),
    {camdrv::CameraItem::AGC, offsetof(CameraContext, agc), 0, 0, false},
    {camdrv::CameraItem::AEC, offsetof(CameraContext, aec), 0, 0, false},
    {camdrv::CameraItem::Clock, offsetof(CameraContext, clock_mode), 0, 0, true},
    {camdrv::CameraItem::ExTrigger, offsetof(CameraContext, external_trigger), 0, 0, false},
};
inline constexpr ULONG kSettingCount = sizeof(kSettings) / sizeof(kSettings[0]);
static_assert(kSettingCount == 19);

// The index of a setting in kSettings; kSettingCount for an item that is not one.
constexpr ULONG SettingIndex(camdrv::CameraItem item) {
    for (ULONG i = 0; i < kSettingCount; ++i) {
        if (kSettings[i].item == item)
            return i;
    }
    return kSettingCount;
}

constexpr bool EveryColorSettingIsKept() {
    for (const ColorSetting& setting : kColorSettings) {
        if (SettingIndex(setting.item) == kSettingCount)
            return false;
    }
    return true;
}
static_assert(EveryColorSettingIsKept(), "each colour setting is persisted with the others");

inline volatile LONG* SettingField(CameraContext* camera, const SettingEntry& setting) {
    return reinterpret_cast<volatile LONG*>(reinterpret_cast<UCHAR*>(camera) + setting.field);
}

static_assert(kSettingCount < sizeof(LONG) * 8, "a bit of settings_kept_stored for each");

constexpr LONG SettingBit(ULONG index) {
    return (LONG)(1u << index);
}

// Every setting at its value after Add. The context is not yet shared, yet the flips are always
// written with interlocked operations, so every field is. Values from before any load are not the
// user's: a save keeps the stored ones.
inline VOID SetSettingsToAddDefaults(CameraContext* camera) {
    for (const SettingEntry& setting : kSettings)
        InterlockedExchange(SettingField(camera, setting), setting.add_default);
    InterlockedExchange(&camera->settings_kept_stored, (LONG)(SettingBit(kSettingCount) - 1));
}

// A client set the item: the next save stores its field.
inline VOID NoteSettingSet(CameraContext* camera, camdrv::CameraItem item) {
    const ULONG index = SettingIndex(item);
    if (index < kSettingCount)
        InterlockedAnd(&camera->settings_kept_stored, ~SettingBit(index));
}
