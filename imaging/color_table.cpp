#include "imaging/color_table.h"

VOID StoreColorSetting(FrameProcessor* processor, const ColorSetting& setting, LONG value) {
    if (setting.update != nullptr) {
        setting.update(processor, value);
    } else {
        InterlockedExchange(&(processor->*setting.field), value);
    }
}

bool SetProcessorColor(FrameProcessor* processor, camdrv::CameraItem item, LONG value) {
    const ColorSetting* setting = FindColorSetting(item);
    if (setting == nullptr)
        return false;
    StoreColorSetting(processor, *setting, ClampColorSetting(item, value));
    return true;
}
