// The camera's property set on the capture filter: one item per entry of the client-visible item
// table, each with that table's buffer sizes and directions, served by the handlers below. A
// handler decodes a request as a set when its Flags are exactly KSPROPERTY_TYPE_SET and as a get
// otherwise, reads and writes the data buffer only past its KSPROPERTY header (a client may pass
// one record as both property and data), and hands the value to the operation of the setting,
// which clamps it.
#pragma once

#include "camdrv/camera_properties.h"
#include "platform/ddk.h"

// The filter's automation table: this one property set, no methods, no events.
extern const KSAUTOMATION_TABLE kCameraAutomationTable;

// The colour settings' range items: numbers of the colour model, answered without the camera.
inline constexpr camdrv::CameraItem kColorRangeSettings[] = {
    camdrv::CameraItem::RedGain,    camdrv::CameraItem::GreenGain, camdrv::CameraItem::BlueGain,
    camdrv::CameraItem::Brightness, camdrv::CameraItem::Contrast,  camdrv::CameraItem::Saturation,
    camdrv::CameraItem::Hue,
};

constexpr bool IsConstantItem(camdrv::CameraItem item) {
    for (camdrv::CameraItem setting : kColorRangeSettings) {
        const camdrv::RangeItems* range = camdrv::RangeItemsOf(setting);
        if (item == range->min || item == range->max || item == range->default_value)
            return true;
    }
    return false;
}

// The constant items' handler: the item's fixed number into `value`. STATUS_UNSUCCESSFUL only
// without a data buffer.
NTSTATUS NTAPI ConstantPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
// Every other item's handler: the request's filter, its device and the device's camera context,
// then the item's operation. STATUS_UNSUCCESSFUL, changing nothing, when any of them (or the data
// buffer) is missing; STATUS_NOT_FOUND for a direction the item does not serve, which only flags
// beyond KSPROPERTY_TYPE_SET on a request to a set-only item can reach.
NTSTATUS NTAPI CameraPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
