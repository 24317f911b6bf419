// Property requests for tests: the records, and gets that fail the test when they fail.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/property_records.h"

namespace camtest {

// The value of a get that must succeed; a failed get fails the test and gives -1.
inline LONG ItemValue(platform::ks::client::Filter* filter, camdrv::CameraItem item) {
    LONG value = -1;
    const NTSTATUS status = GetItem(filter, item, &value);
    EXPECT_EQ(status, STATUS_SUCCESS) << camdrv::ItemName(item);
    return status == STATUS_SUCCESS ? value : -1;
}

}  // namespace camtest
