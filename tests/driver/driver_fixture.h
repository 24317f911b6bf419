// A loaded driver with devices added through the class-driver stand-in.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "driver/camera_context_ops.h"
#include "driver/device_callbacks.h"
#include "platform/ks_host.h"

class DriverTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(platform::ks::LoadDriver(DriverEntry), STATUS_SUCCESS); }
    void TearDown() override {
        for (PKSDEVICE device : devices_)
            platform::ks::RemoveDevice(device);
        EXPECT_EQ(platform::ks::UnloadDriver(), 0u);
    }

    PKSDEVICE AddDevice() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PKSDEVICE device = platform::ks::CreateDevice(nullptr, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (device != nullptr)
            devices_.push_back(device);
        return device;
    }

    std::vector<PKSDEVICE> devices_;
};
