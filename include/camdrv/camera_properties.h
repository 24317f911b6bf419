// The camera's property set as a capture application sees it: the set's identifier, every item
// with its name, the directions it serves, its buffer sizes and, for the items that report a fixed
// number, that number; the ranges that go with the settings; the request records.
#pragma once

#include "platform/ks.h"

namespace camdrv {

// {3F263C66-0FDA-41D5-9EA8-CF2E342CEFB2}
inline constexpr GUID kCameraPropertySet = {
    0x3F263C66, 0x0FDA, 0x41D5, {0x9E, 0xA8, 0xCF, 0x2E, 0x34, 0x2C, 0xEF, 0xB2}};

enum class CameraItem : ULONG {
    ExTrigger = 0,
    Timeout,
    Exposure,
    ExposureMin,
    ExposureMax,
    ExposureDefault,
    GlobalGain,
    GlobalGainMin,
    GlobalGainMax,
    GlobalGainDefault,
    FlipH,
    FlipV,
    ColorEnable,
    WhiteBalance,
    RedGain,
    GreenGain,
    BlueGain,
    GainMin,
    GainMax,
    GainDefault,
    Brightness,
    BrightnessMin,
    BrightnessMax,
    BrightnessDefault,
    Contrast,
    ContrastMin,
    ContrastMax,
    ContrastDefault,
    Saturation,
    SaturationMin,
    SaturationMax,
    SaturationDefault,
    Hue,
    HueMin,
    HueMax,
    HueDefault,
    Reserved36,
    SubSample,
    SensorWidth,
    SensorHeight,
    RoiX,
    RoiY,
    RoiW,
    RoiH,
    ImageSize,
    PinOpen,
    Reserved46,
    Reserved47,
    ColorCorrection,
    Clock,
    Reserved50,
    Reserved51,
    Reserved52,
    Reserved53,
    Reserved54,
    AGC,
    AEC,
    WriteRegister,
    RegisterValue,
    RawCommand,
    CameraMemory,
    Reserved61,
    Reserved62,
    Reserved63,
    Reserved64,
    Reserved65,
    Reserved66,
    Reinitialize,
    Reserved68,
};
inline constexpr ULONG kCameraItemCount = 69;

// ---- Request records (little-endian; the first 24 bytes are the KSPROPERTY header) -------------

// Every item but ImageSize, RawCommand and CameraMemory. WriteRegister carries the register number
// in value and the register value in aux.
struct CameraPropertyValue {
    KSPROPERTY header;
    LONG value;
    LONG aux;
};
static_assert(sizeof(CameraPropertyValue) == 32);

// ImageSize: only width and height are used.
struct ImageSizeRequest {
    KSPROPERTY header;
    LONG reserved;
    LONG x;
    LONG y;
    LONG width;
    LONG height;
    LONG reserved2;
};
static_assert(sizeof(ImageSizeRequest) == 48);

// RawCommand (a set sends up to 63 of the bytes) and CameraMemory (a get puts the byte read into
// bytes[0]; a set takes the address from value).
struct CameraCommandRequest {
    KSPROPERTY header;
    LONG value;
    LONG length;
    UCHAR bytes[64];
};
static_assert(sizeof(CameraCommandRequest) == 96);

// The subkey of the device's driver key that holds the persisted settings, one 32-bit value per
// setting named as its item.
inline constexpr char kSettingsKeyName[] = "Settings";

// ---- Items
// ---------------------------------------------------------------------------------------

// The directions an item serves.
inline constexpr ULONG kItemGet = 1;
inline constexpr ULONG kItemSet = 2;
inline constexpr ULONG kItemGetSet = kItemGet | kItemSet;

struct CameraItemInfo {
    CameraItem id;
    const char* name;
    ULONG access;    // kItemGet, kItemSet or both
    ULONG min_size;  // the smallest property buffer and data buffer the item takes
    bool fixed;      // a get reports fixed_value, whatever the camera's state
    LONG fixed_value;
};

namespace item_rows {
constexpr ULONG kValue = sizeof(CameraPropertyValue);
constexpr CameraItemInfo Row(CameraItem id, const char* name, ULONG access, ULONG size = kValue) {
    return {id, name, access, size, false, 0};
}
constexpr CameraItemInfo Fixed(CameraItem id, const char* name, LONG value,
                               ULONG access = kItemGet) {
    return {id, name, access, kValue, true, value};
}
}  // namespace item_rows

// In item order: kCameraItems[n].id is item n.
inline constexpr CameraItemInfo kCameraItems[kCameraItemCount] = {
    item_rows::Row(CameraItem::ExTrigger, "ExTrigger", kItemGetSet),
    item_rows::Row(CameraItem::Timeout, "Timeout", kItemGetSet),
    item_rows::Row(CameraItem::Exposure, "Exposure", kItemGetSet),
    item_rows::Fixed(CameraItem::ExposureMin, "ExposureMin", 2),
    item_rows::Fixed(CameraItem::ExposureMax, "ExposureMax", 1252),
    item_rows::Fixed(CameraItem::ExposureDefault, "ExposureDefault", 2),
    item_rows::Row(CameraItem::GlobalGain, "GlobalGain", kItemGetSet),
    item_rows::Fixed(CameraItem::GlobalGainMin, "GlobalGainMin", 0),
    item_rows::Fixed(CameraItem::GlobalGainMax, "GlobalGainMax", 1023),
    item_rows::Fixed(CameraItem::GlobalGainDefault, "GlobalGainDefault", 512),
    item_rows::Row(CameraItem::FlipH, "FlipH", kItemGetSet),
    item_rows::Row(CameraItem::FlipV, "FlipV", kItemGetSet),
    item_rows::Row(CameraItem::ColorEnable, "ColorEnable", kItemGetSet),
    item_rows::Row(CameraItem::WhiteBalance, "WhiteBalance", kItemGetSet),
    item_rows::Row(CameraItem::RedGain, "RedGain", kItemGetSet),
    item_rows::Row(CameraItem::GreenGain, "GreenGain", kItemGetSet),
    item_rows::Row(CameraItem::BlueGain, "BlueGain", kItemGetSet),
    item_rows::Fixed(CameraItem::GainMin, "GainMin", 1),
    item_rows::Fixed(CameraItem::GainMax, "GainMax", 512),
    item_rows::Fixed(CameraItem::GainDefault, "GainDefault", 128),
    item_rows::Row(CameraItem::Brightness, "Brightness", kItemGetSet),
    item_rows::Fixed(CameraItem::BrightnessMin, "BrightnessMin", 0),
    item_rows::Fixed(CameraItem::BrightnessMax, "BrightnessMax", 510),
    item_rows::Fixed(CameraItem::BrightnessDefault, "BrightnessDefault", 255),
    item_rows::Row(CameraItem::Contrast, "Contrast", kItemGetSet),
    item_rows::Fixed(CameraItem::ContrastMin, "ContrastMin", 0),
    item_rows::Fixed(CameraItem::ContrastMax, "ContrastMax", 20),
    item_rows::Fixed(CameraItem::ContrastDefault, "ContrastDefault", 10),
    item_rows::Row(CameraItem::Saturation, "Saturation", kItemGetSet),
    item_rows::Fixed(CameraItem::SaturationMin, "SaturationMin", 0),
    item_rows::Fixed(CameraItem::SaturationMax, "SaturationMax", 20),
    item_rows::Fixed(CameraItem::SaturationDefault, "SaturationDefault", 10),
    item_rows::Row(CameraItem::Hue, "Hue", kItemGetSet),
    item_rows::Fixed(CameraItem::HueMin, "HueMin", 0),
    item_rows::Fixed(CameraItem::HueMax, "HueMax", 359),
    item_rows::Fixed(CameraItem::HueDefault, "HueDefault", 0),
    item_rows::Fixed(CameraItem::Reserved36, "Reserved36", 0),
    item_rows::Row(CameraItem::SubSample, "SubSample", kItemGet),
    item_rows::Fixed(CameraItem::SensorWidth, "SensorWidth", 1600),
    item_rows::Fixed(CameraItem::SensorHeight, "SensorHeight", 1200),
    item_rows::Row(CameraItem::RoiX, "RoiX", kItemGet),
    item_rows::Row(CameraItem::RoiY, "RoiY", kItemGet),
    item_rows::Row(CameraItem::RoiW, "RoiW", kItemGet),
    item_rows::Row(CameraItem::RoiH, "RoiH", kItemGet),
    item_rows::Row(CameraItem::ImageSize, "ImageSize", kItemSet, sizeof(ImageSizeRequest)),
    item_rows::Row(CameraItem::PinOpen, "PinOpen", kItemGet),
    item_rows::Fixed(CameraItem::Reserved46, "Reserved46", 1),
    item_rows::Row(CameraItem::Reserved47, "Reserved47", kItemSet),
    item_rows::Row(CameraItem::ColorCorrection, "ColorCorrection", kItemGetSet),
    item_rows::Row(CameraItem::Clock, "Clock", kItemGetSet),
    item_rows::Fixed(CameraItem::Reserved50, "Reserved50", 0),
    item_rows::Fixed(CameraItem::Reserved51, "Reserved51", 1),
    item_rows::Fixed(CameraItem::Reserved52, "Reserved52", 1),
    item_rows::Fixed(CameraItem::Reserved53, "Reserved53", 0),
    item_rows::Fixed(CameraItem::Reserved54, "Reserved54", 0),
    item_rows::Row(CameraItem::AGC, "AGC", kItemGetSet),
    item_rows::Row(CameraItem::AEC, "AEC", kItemGetSet),
    // A get of WriteRegister or RawCommand is served, and fails.
    item_rows::Row(CameraItem::WriteRegister, "WriteRegister", kItemGetSet),
    item_rows::Row(CameraItem::RegisterValue, "RegisterValue", kItemGetSet),
    item_rows::Row(CameraItem::RawCommand, "RawCommand", kItemGetSet, sizeof(CameraCommandRequest)),
    item_rows::Row(CameraItem::CameraMemory, "CameraMemory", kItemGetSet,
                   sizeof(CameraCommandRequest)),
    item_rows::Fixed(CameraItem::Reserved61, "Reserved61", 0),
    item_rows::Fixed(CameraItem::Reserved62, "Reserved62", 0),
    // Accepted on set, with no effect.
    item_rows::Fixed(CameraItem::Reserved63, "Reserved63", 0, kItemGetSet),
    item_rows::Fixed(CameraItem::Reserved64, "Reserved64", 0, kItemGetSet),
    item_rows::Fixed(CameraItem::Reserved65, "Reserved65", 0, kItemGetSet),
    item_rows::Fixed(CameraItem::Reserved66, "Reserved66", 0, kItemGetSet),
    item_rows::Row(CameraItem::Reinitialize, "Reinitialize", kItemSet),
    item_rows::Fixed(CameraItem::Reserved68, "Reserved68", 0),
};

constexpr bool ItemsInOrder() {
    for (ULONG i = 0; i < kCameraItemCount; ++i) {
        if ((ULONG)kCameraItems[i].id != i)
            return false;
    }
    return true;
}
static_assert(ItemsInOrder(), "kCameraItems[n] must describe item n");

constexpr const CameraItemInfo& ItemInfo(CameraItem id) {
    return kCameraItems[(ULONG)id];
}
constexpr const char* ItemName(CameraItem id) {
    return ItemInfo(id).name;
}
// Never defined: a compile-time lookup that reaches it does not compile.
void NotAFixedItem();
// The number a fixed item reports, at compile time; code that runs later reads fixed_value.
consteval LONG FixedValue(CameraItem id) {
    if (!ItemInfo(id).fixed)
        NotAFixedItem();
    return ItemInfo(id).fixed_value;
}

// ---- Ranges ----------------------------------------------------------------------------------

// The items that report a setting's range: operations clamp to [min, max].
struct RangeItems {
    CameraItem setting;
    CameraItem min;
    CameraItem max;
    CameraItem default_value;
};

inline constexpr RangeItems kRangeItems[] = {
    {CameraItem::Exposure, CameraItem::ExposureMin, CameraItem::ExposureMax,
     CameraItem::ExposureDefault},
    {CameraItem::GlobalGain, CameraItem::GlobalGainMin, CameraItem::GlobalGainMax,
     CameraItem::GlobalGainDefault},
    {CameraItem::RedGain, CameraItem::GainMin, CameraItem::GainMax, CameraItem::GainDefault},
    {CameraItem::GreenGain, CameraItem::GainMin, CameraItem::GainMax, CameraItem::GainDefault},
    {CameraItem::BlueGain, CameraItem::GainMin, CameraItem::GainMax, CameraItem::GainDefault},
    {CameraItem::Brightness, CameraItem::BrightnessMin, CameraItem::BrightnessMax,
     CameraItem::BrightnessDefault},
    {CameraItem::Contrast, CameraItem::ContrastMin, CameraItem::ContrastMax,
     CameraItem::ContrastDefault},
    {CameraItem::Saturation, CameraItem::SaturationMin, CameraItem::SaturationMax,
     CameraItem::SaturationDefault},
    {CameraItem::Hue, CameraItem::HueMin, CameraItem::HueMax, CameraItem::HueDefault},
};

// The range items of a setting, or null for a setting without them.
constexpr const RangeItems* RangeItemsOf(CameraItem setting) {
    for (const RangeItems& range : kRangeItems) {
        if (range.setting == setting)
            return &range;
    }
    return nullptr;
}
consteval LONG RangeMin(CameraItem setting) {
    return FixedValue(RangeItemsOf(setting)->min);
}
consteval LONG RangeMax(CameraItem setting) {
    return FixedValue(RangeItemsOf(setting)->max);
}
consteval LONG RangeDefault(CameraItem setting) {
    return FixedValue(RangeItemsOf(setting)->default_value);
}

constexpr bool RangesHold() {
    for (const RangeItems& range : kRangeItems) {
        const LONG min = ItemInfo(range.min).fixed_value;
        const LONG max = ItemInfo(range.max).fixed_value;
        const LONG default_value = ItemInfo(range.default_value).fixed_value;
        if (!ItemInfo(range.min).fixed || !ItemInfo(range.max).fixed ||
            !ItemInfo(range.default_value).fixed || min > default_value || default_value > max)
            return false;
    }
    return true;
}
static_assert(RangesHold(), "a range's items are fixed and its default lies between min and max");

// The shortest frame time-out in milliseconds a Timeout set takes; shorter ones are passed over
// and the time-out stays as it was.
inline constexpr LONG kTimeoutMinMs = 501;

// Clients look items up by name without regard to case.
constexpr char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}
constexpr bool SameNameIgnoringCase(const char* a, const char* b) {
    for (; *a != 0 && *b != 0; ++a, ++b) {
        if (Lower(*a) != Lower(*b))
            return false;
    }
    return *a == *b;
}
constexpr bool NamesDistinct() {
    for (ULONG i = 0; i < kCameraItemCount; ++i) {
        for (ULONG j = i + 1; j < kCameraItemCount; ++j) {
            if (SameNameIgnoringCase(kCameraItems[i].name, kCameraItems[j].name))
                return false;
        }
    }
    return true;
}
static_assert(NamesDistinct(), "item names must differ in more than case");

}  // namespace camdrv
