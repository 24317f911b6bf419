// Property requests on the camera's property set as a capture application makes them: one record
// passed as both property and data, its header naming the set, the item and the direction.
#pragma once

#include <gtest/gtest.h>

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

inline NTSTATUS GetItem(platform::ks::client::Filter* filter, camdrv::CameraItem item,
                        LONG* value) {
    auto record = PropertyRecord<camdrv::CameraPropertyValue>(item, KSPROPERTY_TYPE_GET);
    NTSTATUS status = SendRecord(filter, &record);
    *value = record.value;
    return status;
}

inline NTSTATUS SetItem(platform::ks::client::Filter* filter, camdrv::CameraItem item, LONG value,
                        LONG aux = 0) {
    auto record = PropertyRecord<camdrv::CameraPropertyValue>(item, KSPROPERTY_TYPE_SET);
    record.value = value;
    record.aux = aux;
    return SendRecord(filter, &record);
}

// The value of a get that must succeed; a failed get fails the test and gives -1.
inline LONG ItemValue(platform::ks::client::Filter* filter, camdrv::CameraItem item) {
    LONG value = -1;
    const NTSTATUS status = GetItem(filter, item, &value);
    EXPECT_EQ(status, STATUS_SUCCESS) << camdrv::ItemName(item);
    return status == STATUS_SUCCESS ? value : -1;
}

}  // namespace camtest
