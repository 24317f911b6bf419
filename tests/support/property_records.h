// Property requests on the camera's property set as a capture application makes them: one record
// passed as both property and data, its header naming the set, the item and the direction. Free of
// the test framework, so that the rig and the fuzz targets use them too.
#pragma once

#include <cstring>

#include "camdrv/camera_properties.h"
#include "platform/ks_client.h"

namespace camtest {

// A record of the item's layout with its header filled in and every other byte zero.
template <typename Record>
Record PropertyRecord(camdrv::CameraItem item, ULONG flags) {
    Record record;
    std::memset(&record, 0, sizeof(record));
    record.header.Set = camdrv::kCameraPropertySet;
    record.header.Id = (ULONG)item;
    record.header.Flags = flags;
    return record;
}

template <typename Record>
NTSTATUS SendRecord(platform::ks::client::Filter* filter, Record* record) {
    return platform::ks::client::PropertyRequest(filter, record, sizeof(*record), record,
                                                 sizeof(*record));
}

// *value is sent, and replaced by what the request left in the record.
inline NTSTATUS ItemRequest(platform::ks::client::Filter* filter, camdrv::CameraItem item,
                            ULONG flags, LONG* value) {
    auto record = PropertyRecord<camdrv::CameraPropertyValue>(item, flags);
    record.value = *value;
    const NTSTATUS status = SendRecord(filter, &record);
    *value = record.value;
    return status;
}

inline NTSTATUS GetItem(platform::ks::client::Filter* filter, camdrv::CameraItem item,
                        LONG* value) {
    *value = 0;
    return ItemRequest(filter, item, KSPROPERTY_TYPE_GET, value);
}

inline NTSTATUS SetItem(platform::ks::client::Filter* filter, camdrv::CameraItem item, LONG value,
                        LONG aux = 0) {
    auto record = PropertyRecord<camdrv::CameraPropertyValue>(item, KSPROPERTY_TYPE_SET);
    record.value = value;
    record.aux = aux;
    return SendRecord(filter, &record);
}

inline NTSTATUS SetImageSize(platform::ks::client::Filter* filter, LONG width, LONG height) {
    auto record = PropertyRecord<camdrv::ImageSizeRequest>(camdrv::CameraItem::ImageSize,
                                                           KSPROPERTY_TYPE_SET);
    record.width = width;
    record.height = height;
    return SendRecord(filter, &record);
}

}  // namespace camtest
