// A test with a rig of its own, up to its level before the test body runs.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/rig.h"

namespace camtest {

class RigTest : public testing::Test {
  protected:
    explicit RigTest(const RigOptions& options = {}) : rig_(options) {}
    void SetUp() override { ASSERT_TRUE(rig_.ok()); }
    CameraContext* camera() { return rig_.context(); }
    ProbedCamera& sim() { return rig_.sim(); }
    client::Filter* filter() { return rig_.filter(); }

    Rig rig_;
};

// The camera context on the bus and nothing started: for unit tests of usb/ and camera/, and for
// tests that start and stop the device themselves.
class UsbRigTest : public RigTest {
  protected:
    UsbRigTest() : RigTest({.level = RigLevel::kUsb}) {}
    void Configure() { ASSERT_EQ(rig_.ConfigureUsb(), STATUS_SUCCESS); }
};

}  // namespace camtest
