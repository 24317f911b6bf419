// A property request on one item of the camera's property set, its record both property and data.
#pragma once

#include "camdrv/camera_properties.h"
#include "platform/ks_client.h"

namespace camfuzz {

// *value is sent, and replaced by what the request left in the record.
inline NTSTATUS ItemRequest(platform::ks::client::Filter* filter, camdrv::CameraItem item,
                            ULONG flags, LONG* value) {
    camdrv::CameraPropertyValue record{};
    record.header.Set = camdrv::kCameraPropertySet;
    record.header.Id = (ULONG)item;
    record.header.Flags = flags;
    record.value = *value;
    const NTSTATUS status = platform::ks::client::PropertyRequest(filter, &record, sizeof(record),
                                                                  &record, sizeof(record));
    *value = record.value;
    return status;
}

}  // namespace camfuzz
