// Colour settings of the camera context.
#include "imaging/color_settings.h"

namespace {

LONG Clamp(LONG value, LONG low, LONG high) {
    if (value < low)
        return low;
    return value > high ? high : value;
}

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
LONG Refreshed(CameraContext* camera, LONG* camera_field, volatile LONG FrameProcessor::*field) {
    FrameProcessor* processor = HoldProcessor(camera);
    if (processor != nullptr) {
        WriteSetting(camera_field, ReadField(&(processor->*field)));
        ReleaseProcessor(camera);
    }
    return ReadSetting(camera_field);
}

VOID StorePlain(CameraContext* camera, LONG* camera_field, volatile LONG FrameProcessor::*field,
                LONG value) {
    WriteSetting(camera_field, value);
    FrameProcessor* processor = HoldProcessor(camera);
    if (processor != nullptr) {
        InterlockedExchange(&(processor->*field), value);
        ReleaseProcessor(camera);
    }
}

VOID StoreTone(CameraContext* camera, LONG* camera_field, LONG value,
               VOID (*update)(FrameProcessor*, LONG)) {
    WriteSetting(camera_field, value);
    FrameProcessor* processor = HoldProcessor(camera);
    if (processor != nullptr) {
        update(processor, value);
        ReleaseProcessor(camera);
    }
}

LONG ClampGain(LONG value) {
    return Clamp(value, 1, 512);
}

}  // namespace

VOID SetColorEnable(CameraContext* camera, LONG value) {
    StorePlain(camera, &camera->color_enable, &FrameProcessor::color_enable, value);
}
LONG GetColorEnable(CameraContext* camera) {
    return Refreshed(camera, &camera->color_enable, &FrameProcessor::color_enable);
}

VOID SetWhiteBalanceAuto(CameraContext* camera, LONG value) {
    StorePlain(camera, &camera->white_balance_auto, &FrameProcessor::white_balance_auto, value);
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
    return Refreshed(camera, &camera->white_balance_auto, &FrameProcessor::white_balance_auto);
}

VOID SetRedGain(CameraContext* camera, LONG value) {
    StorePlain(camera, &camera->red_gain, &FrameProcessor::red_gain, ClampGain(value));
}
LONG GetRedGain(CameraContext* camera) {
    return Refreshed(camera, &camera->red_gain, &FrameProcessor::red_gain);
}
VOID SetGreenGain(CameraContext* camera, LONG value) {
    StorePlain(camera, &camera->green_gain, &FrameProcessor::green_gain, ClampGain(value));
}
LONG GetGreenGain(CameraContext* camera) {
    return Refreshed(camera, &camera->green_gain, &FrameProcessor::green_gain);
}
VOID SetBlueGain(CameraContext* camera, LONG value) {
    StorePlain(camera, &camera->blue_gain, &FrameProcessor::blue_gain, ClampGain(value));
}
LONG GetBlueGain(CameraContext* camera) {
    return Refreshed(camera, &camera->blue_gain, &FrameProcessor::blue_gain);
}

VOID SetColorCorrection(CameraContext* camera, LONG value) {
    StoreTone(camera, &camera->color_correction, value, UpdateColorCorrection);
}
LONG GetColorCorrection(CameraContext* camera) {
    return Refreshed(camera, &camera->color_correction, &FrameProcessor::color_correction);
}
VOID SetBrightness(CameraContext* camera, LONG value) {
    StoreTone(camera, &camera->brightness, Clamp(value, 0, 510), UpdateBrightness);
}
LONG GetBrightness(CameraContext* camera) {
    return Refreshed(camera, &camera->brightness, &FrameProcessor::brightness);
}
VOID SetContrast(CameraContext* camera, LONG value) {
    StoreTone(camera, &camera->contrast, Clamp(value, 0, 20), UpdateContrast);
}
LONG GetContrast(CameraContext* camera) {
    return Refreshed(camera, &camera->contrast, &FrameProcessor::contrast);
}
VOID SetSaturation(CameraContext* camera, LONG value) {
    StoreTone(camera, &camera->saturation, Clamp(value, 0, 20), UpdateSaturation);
}
LONG GetSaturation(CameraContext* camera) {
    return Refreshed(camera, &camera->saturation, &FrameProcessor::saturation);
}
VOID SetHue(CameraContext* camera, LONG value) {
    StoreTone(camera, &camera->hue, Clamp(value, 0, 359), UpdateHue);
}
LONG GetHue(CameraContext* camera) {
    return Refreshed(camera, &camera->hue, &FrameProcessor::hue);
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
