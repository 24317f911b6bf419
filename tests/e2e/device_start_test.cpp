// A client's view of device start and stop with the simulated camera plugged in: the USB device is
// configured, the camera woken and programmed, and the configuration released at stop.
#include <gtest/gtest.h>

#include <memory>

#include "driver/camera_context_ops.h"
#include "driver/device_callbacks.h"
#include "platform/ks_host.h"
#include "platform/usb_bus.h"
#include "sim/sim_camera.h"

namespace {

class DeviceStartTest : public testing::Test {
  protected:
    void SetUp() override {
        camera_ = std::make_unique<sim::SimCamera>();
        camera_->SetLinkSpeed(0);
        port_ = platform::UsbBusPlugIn(camera_.get());
        ASSERT_EQ(platform::ks::LoadDriver(DriverEntry), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        device_ = platform::ks::CreateDevice(port_, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    void TearDown() override {
        if (device_ != nullptr)
            platform::ks::RemoveDevice(device_);
        EXPECT_EQ(platform::ks::UnloadDriver(), 0u);
        platform::UsbBusUnplug(port_);
    }

    std::unique_ptr<sim::SimCamera> camera_;
    PDEVICE_OBJECT port_ = nullptr;
    PKSDEVICE device_ = nullptr;
};

TEST_F(DeviceStartTest, StartConfiguresWakesAndProgramsTheCameraAndStopReleasesIt) {
    ASSERT_EQ(platform::ks::StartDevice(device_), STATUS_SUCCESS);
    EXPECT_TRUE(device_->Started);
    CameraContext* camera = CameraOfDevice(device_);
    ASSERT_NE(camera->usb.interface_info, nullptr);
    EXPECT_EQ(camera->usb.interface_info->NumberOfPipes, 3u);
    EXPECT_TRUE(camera_->Configured());
    EXPECT_TRUE(camera_->Awake());
    std::vector<sim::Packet> commands = camera_->Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands[0][0], 0x06);
    for (size_t i = 1; i < 64; ++i)
        EXPECT_EQ(commands[0][i], 0) << i;
    EXPECT_EQ(camera_->RegisterWrites().size(), 690u);
    EXPECT_EQ(camera_->Register(158), 36u);
    EXPECT_EQ(camera->startup_sequence_count, 1);
    EXPECT_EQ(platform::ks::FilterFactories(device_).size(), 1u);

    platform::ks::StopDevice(device_);
    EXPECT_EQ(camera->usb.interface_info, nullptr);
    EXPECT_EQ(camera->usb.configuration_descriptor, nullptr);
    EXPECT_FALSE(camera_->Configured());
    EXPECT_TRUE(platform::ks::FilterFactories(device_).empty());
}

TEST_F(DeviceStartTest, ASecondStartOfAStartedDeviceRegistersNoSecondFilter) {
    ASSERT_EQ(platform::ks::StartDevice(device_), STATUS_SUCCESS);
    ASSERT_TRUE(device_->Started);
    ASSERT_EQ(platform::ks::StartDevice(device_), STATUS_SUCCESS);
    EXPECT_EQ(platform::ks::FilterFactories(device_).size(), 1u);
    platform::ks::StopDevice(device_);
}

TEST_F(DeviceStartTest, ARestartWakesTheCameraAgainWithoutAThirdProgramRun) {
    ASSERT_EQ(platform::ks::StartDevice(device_), STATUS_SUCCESS);
    platform::ks::StopDevice(device_);
    camera_->ClearRecords();
    ASSERT_EQ(platform::ks::StartDevice(device_), STATUS_SUCCESS);
    EXPECT_EQ(camera_->RegisterWrites().size(), 690u);  // the second of the two runs
    platform::ks::StopDevice(device_);
    camera_->ClearRecords();
    ASSERT_EQ(platform::ks::StartDevice(device_), STATUS_SUCCESS);
    EXPECT_TRUE(camera_->RegisterWrites().empty());
    ASSERT_EQ(camera_->Commands().size(), 1u);
    EXPECT_EQ(camera_->Commands()[0][0], 0x06);
    platform::ks::StopDevice(device_);
}

TEST_F(DeviceStartTest, StartReportsTheUsbStatusAndStillTriesTheCamera) {
    camera_->SetHostileDescriptors(sim::HostileDescriptors::kTotalLengthLong);
    NTSTATUS status = platform::ks::StartDevice(device_);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_FALSE(device_->Started);
    // The factory is registered all the same: the class driver did not mark the device started.
    EXPECT_EQ(platform::ks::FilterFactories(device_).size(), 1u);
    EXPECT_EQ(CameraOfDevice(device_)->usb.interface_info, nullptr);
    platform::ks::StopDevice(device_);
}

}  // namespace
