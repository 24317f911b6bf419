// Colour settings of the camera context.
#include "imaging/color_settings.h"

#include "imaging/color_table.h"

namespace {

inline LONG ReadField(volatile LONG* field) {
    return InterlockedExchangeAdd(field, 0);
}

// The camera's copies are read by a pin claiming the camera while setters run in other threads, so
// they are read and written whole, as the processor's fields are.
inline LONG ReadSetting(const LONG* field) {
    return ReadField(const_cast<volatile LONG*>(field));
}

inline VOID WriteSetting(LONG* field, LONG value) {
    InterlockedExchange(field, value);
}

// The camera's processor, held so that releasing the camera cannot free it meanwhile; null when
// there is none or it is going away. A non-null result is given back with ReleaseProcessor.
FrameProcessor* HoldProcessor(CameraContext* camera) {
    if (!ExAcquireRundownProtection(&camera->processor_rundown))
        return nullptr;
    FrameProcessor* processor = CurrentProcessor(camera);
    if (processor == nullptr)
        ExReleaseRundownProtection(&camera->processor_rundown);
    return processor;
}

VOID ReleaseProcessor(CameraContext* camera) {
    ExReleaseRundownProtection(&camera->processor_rundown);
}

// Refreshes the camera's field from the processor's when there is one.
LONG Refreshed(CameraContext* camera, LONG* camera_field, const ColorSetting& setting) {
    FrameProcessor* processor = HoldProcessor(camera);
    if (processor != nullptr) {
        WriteSetting(camera_field, ReadField(&(processor->*setting.field)));
        ReleaseProcessor(camera);
    }
    return ReadSetting(camera_field);
}

// Clamps, stores in the camera, and hands the stored value to the processor when there is one.
VOID Store(CameraContext* camera, LONG* camera_field, const ColorSetting& setting, LONG value) {
    const LONG kept = ClampColorSetting(setting.item, value);
    WriteSetting(camera_field, kept);
    FrameProcessor* processor = HoldProcessor(camera);
    if (processor != nullptr) {
        StoreColorSetting(processor, setting, kept);
        ReleaseProcessor(camera);
    }
}

using camdrv::CameraItem;

}  // namespace

VOID SetColorEnable(CameraContext* camera, LONG value) {
    Store(camera, &camera->color_enable, ColorSettingOf(CameraItem::ColorEnable), value);
}
LONG GetColorEnable(CameraContext* camera) {
    return Refreshed(camera, &camera->color_enable, ColorSettingOf(CameraItem::ColorEnable));
}

VOID SetWhiteBalanceAuto(CameraContext* camera, LONG value) {
    Store(camera, &camera->white_balance_auto, ColorSettingOf(CameraItem::WhiteBalance), value);
    FrameProcessor* processor = value == 0 ? HoldProcessor(camera) : nullptr;
    // The last measured gains become the camera's own, so they are what gets persisted.
    if (processor != nullptr) {
        WriteSetting(&camera->red_gain, ReadField(&processor->red_gain));
        WriteSetting(&camera->green_gain, ReadField(&processor->green_gain));
        WriteSetting(&camera->blue_gain, ReadField(&processor->blue_gain));
        ReleaseProcessor(camera);
    }
}
LONG GetWhiteBalanceAuto(CameraContext* camera) {
    return Refreshed(camera, &camera->white_balance_auto, ColorSettingOf(CameraItem::WhiteBalance));
}

VOID SetRedGain(CameraContext* camera, LONG value) {
    Store(camera, &camera->red_gain, ColorSettingOf(CameraItem::RedGain), value);
}
LONG GetRedGain(CameraContext* camera) {
    return Refreshed(camera, &camera->red_gain, ColorSettingOf(CameraItem::RedGain));
}
VOID SetGreenGain(CameraContext* camera, LONG value) {
    Store(camera, &camera->green_gain, ColorSettingOf(CameraItem::GreenGain), value);
}
LONG GetGreenGain(CameraContext* camera) {
    return Refreshed(camera, &camera->green_gain, ColorSettingOf(CameraItem::GreenGain));
}
VOID SetBlueGain(CameraContext* camera, LONG value) {
    Store(camera, &camera->blue_gain, ColorSettingOf(CameraItem::BlueGain), value);
}
LONG GetBlueGain(CameraContext* camera) {
    return Refreshed(camera, &camera->blue_gain, ColorSettingOf(CameraItem::BlueGain));
}

VOID SetColorCorrection(CameraContext* camera, LONG value) {
    Store(camera, &camera->color_correction, ColorSettingOf(CameraItem::ColorCorrection), value);
}
LONG GetColorCorrection(CameraContext* camera) {
    return Refreshed(camera, &camera->color_correction,
                     ColorSettingOf(CameraItem::ColorCorrection));
}
VOID SetBrightness(CameraContext* camera, LONG value) {
    Store(camera, &camera->brightness, ColorSettingOf(CameraItem::Brightness), value);
}
LONG GetBrightness(CameraContext* camera) {
    return Refreshed(camera, &camera->brightness, ColorSettingOf(CameraItem::Brightness));
}
VOID SetContrast(CameraContext* camera, LONG value) {
    Store(camera, &camera->contrast, ColorSettingOf(CameraItem::Contrast), value);
}
LONG GetContrast(CameraContext* camera) {
    return Refreshed(camera, &camera->contrast, ColorSettingOf(CameraItem::Contrast));
}
VOID SetSaturation(CameraContext* camera, LONG value) {
    Store(camera, &camera->saturation, ColorSettingOf(CameraItem::Saturation), value);
}
LONG GetSaturation(CameraContext* camera) {
    return Refreshed(camera, &camera->saturation, ColorSettingOf(CameraItem::Saturation));
}
VOID SetHue(CameraContext* camera, LONG value) {
    Store(camera, &camera->hue, ColorSettingOf(CameraItem::Hue), value);
}
LONG GetHue(CameraContext* camera) {
    return Refreshed(camera, &camera->hue, ColorSettingOf(CameraItem::Hue));
}

VOID PushColorSettings(CameraContext* camera, FrameProcessor* processor) {
    InterlockedExchange(&processor->white_balance_auto, ReadSetting(&camera->white_balance_auto));
    InterlockedExchange(&processor->conversion.bayer_phase, ReadSetting(&camera->bayer_phase));
    InterlockedExchange(&processor->color_enable, ReadSetting(&camera->color_enable));
    InterlockedExchange(&processor->red_gain, ReadSetting(&camera->red_gain));
    InterlockedExchange(&processor->green_gain, ReadSetting(&camera->green_gain));
    InterlockedExchange(&processor->blue_gain, ReadSetting(&camera->blue_gain));
    UpdateColorCorrection(processor, ReadSetting(&camera->color_correction));
    UpdateBrightness(processor, ReadSetting(&camera->brightness));
    UpdateContrast(processor, ReadSetting(&camera->contrast));
    UpdateSaturation(processor, ReadSetting(&camera->saturation));
    UpdateHue(processor, ReadSetting(&camera->hue));
}
