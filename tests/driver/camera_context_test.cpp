// Add, the defaults of a new camera, and the geometry with the advertised format.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/camera_context_ops.h"
#include "driver/descriptors.h"
#include "driver/image_size.h"
#include "driver/pool_tags.h"
#include "platform/ks_host.h"
#include "platform/verifier.h"
#include "tests/support/rig_test.h"

namespace {

// Devices with no camera plugged in.
class CameraContextTest : public camtest::RigTest {
  protected:
    CameraContextTest() : RigTest({.level = camtest::RigLevel::kUsb, .plugged = false}) {}
};

TEST_F(CameraContextTest, AddPutsEverySettingAtItsDefault) {
    PKSDEVICE device = rig_.device();
    CameraContext* camera = CameraOfDevice(device);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(camera->ks_device, device);
    EXPECT_EQ(camera->frame_source, &kFrameSource);
    EXPECT_EQ(camera->timeout_ms, 3000);
    EXPECT_EQ(camera->red_gain, 128);
    EXPECT_EQ(camera->green_gain, 128);
    EXPECT_EQ(camera->blue_gain, 128);
    EXPECT_EQ(camera->contrast, 10);
    EXPECT_EQ(camera->saturation, 10);
    EXPECT_EQ(camera->brightness, 255);
    EXPECT_EQ(camera->color_enable, 1);
    EXPECT_EQ(camera->color_correction, 1);
    EXPECT_EQ(camera->hue, 0);
    for (LONG value :
         {camera->external_trigger, camera->exposure, camera->global_gain, camera->flip_h,
          camera->flip_v, camera->white_balance_auto, camera->subsample, camera->roi_x,
          camera->roi_y, camera->bayer_phase, camera->clock_mode, camera->agc, camera->aec,
          camera->camera_acquired, camera->raw_data_offset, camera->raw_row_pitch, camera->pin_open,
          camera->register_index, camera->startup_sequence_count}) {
        EXPECT_EQ(value, 0);
    }
    EXPECT_EQ(camera->raw_frame_size, 0u);
    EXPECT_EQ(camera->frame_count, 0u);
    EXPECT_EQ(camera->image_width, 1600);
    EXPECT_EQ(camera->image_height, 1200);
    EXPECT_EQ(camera->output_width, 1600);
    EXPECT_EQ(camera->output_height, 1200);
    EXPECT_EQ(camera->roi_width, 1600);
    EXPECT_EQ(camera->roi_height, 1200);
    EXPECT_EQ(camera->worker, nullptr);
    EXPECT_EQ(camera->processor, nullptr);
    EXPECT_EQ(camera->usb.configuration_descriptor, nullptr);
    EXPECT_EQ(camera->usb.physical_device, device->PhysicalDeviceObject);
    EXPECT_EQ(camera->usb.lower_device, device->NextDeviceObject);
    EXPECT_EQ(camera->usb.functional_device, device->FunctionalDeviceObject);
    for (LONG value : camera->register_shadow)
        ASSERT_EQ(value, 0);
    for (UCHAR byte : camera->command_buffer)
        ASSERT_EQ(byte, 0);
    EXPECT_EQ(KeReadStateEvent(&camera->transfer_event), 0);
    EXPECT_EQ(camera->transfer_event.Header.Type, EventNotificationObject);
}

TEST_F(CameraContextTest, AdvertisesTheFullSensorAfterAdd) {
    const KS_DATARANGE_VIDEO& range = g_video_data_range;
    EXPECT_EQ(range.DataRange.FormatSize, 296u);
    EXPECT_EQ(range.DataRange.SampleSize, 7680000u);
    EXPECT_TRUE(IsEqualGUID(range.DataRange.MajorFormat, KSDATAFORMAT_TYPE_VIDEO));
    EXPECT_TRUE(IsEqualGUID(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_RGB32));
    EXPECT_TRUE(IsEqualGUID(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO));
    EXPECT_EQ(range.ConfigCaps.MinFrameInterval, 333333);
    EXPECT_EQ(range.ConfigCaps.MaxFrameInterval, 333333);
    EXPECT_EQ(range.VideoInfoHeader.AvgTimePerFrame, 333333);
    EXPECT_EQ(range.ConfigCaps.MinBitsPerSecond, 1843200000);
    EXPECT_EQ(range.ConfigCaps.MaxBitsPerSecond, 1843200000);
    EXPECT_EQ(range.ConfigCaps.InputSize.cx, 1600);
    EXPECT_EQ(range.ConfigCaps.MaxOutputSize.cy, 1200);
    EXPECT_EQ(range.ConfigCaps.CropGranularityX, 8);
    EXPECT_EQ(range.VideoInfoHeader.dwBitRate, 230400000u);
    EXPECT_EQ(range.VideoInfoHeader.rcSource.right, 1600);
    EXPECT_EQ(range.VideoInfoHeader.rcSource.bottom, 1200);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biWidth, 1600);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biHeight, 1200);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biSizeImage, 7680000u);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biBitCount, 32);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biSize, 40u);
}

TEST_F(CameraContextTest, TwoDevicesHaveTheirOwnContextsAndShareTheDataRange) {
    PKSDEVICE first = rig_.device();
    PKSDEVICE second = rig_.AddDevice();
    ASSERT_NE(second, nullptr);
    CameraContext* a = CameraOfDevice(first);
    CameraContext* b = CameraOfDevice(second);
    ASSERT_NE(a, b);
    a->brightness = 7;
    EXPECT_EQ(b->brightness, 255);
    EXPECT_EQ(first->Descriptor->FilterDescriptorsCount, 0u);
    ASSERT_TRUE(SetImageSize(a, 0, 0, 1001, 600));
    // The range is one record for all devices: it follows the last successful geometry.
    EXPECT_EQ(g_video_data_range.VideoInfoHeader.bmiHeader.biWidth, 1000);
    EXPECT_EQ(b->image_width, 1600);
}

TEST_F(CameraContextTest, SetImageSizeRewritesGeometryAndFormat) {
    CameraContext* camera = this->camera();
    ASSERT_TRUE(SetImageSize(camera, 17, 33, 1001, 600));
    EXPECT_EQ(camera->image_width, 1001);
    EXPECT_EQ(camera->image_height, 600);
    EXPECT_EQ(camera->output_width, 1000);
    EXPECT_EQ(camera->output_height, 600);
    const KS_DATARANGE_VIDEO& range = g_video_data_range;
    EXPECT_EQ(range.DataRange.SampleSize, 2400000u);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biSizeImage, 2400000u);
    EXPECT_EQ(range.VideoInfoHeader.dwBitRate, 72000000u);
    EXPECT_EQ(range.ConfigCaps.MinBitsPerSecond, 576000000);
    EXPECT_EQ(range.ConfigCaps.MaxBitsPerSecond, 576000000);
    EXPECT_EQ(range.ConfigCaps.MinOutputSize.cx, 1000);
    EXPECT_EQ(range.ConfigCaps.MinCroppingSize.cy, 600);
    EXPECT_EQ(range.VideoInfoHeader.rcSource.right, 1000);
    EXPECT_EQ(range.VideoInfoHeader.rcSource.bottom, 600);
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biWidth, 1000);
    EXPECT_EQ(range.ConfigCaps.MinFrameInterval, 333333);
}

TEST_F(CameraContextTest, ReportedRegionIsTheFullSensorAfterAnySuccessfulSize) {
    CameraContext* camera = this->camera();
    camera->subsample = 3;
    camera->roi_x = 5;
    camera->roi_width = 9;
    ASSERT_TRUE(SetImageSize(camera, 100, 200, 640, 480));
    EXPECT_EQ(camera->subsample, 0);
    EXPECT_EQ(camera->roi_x, 0);
    EXPECT_EQ(camera->roi_y, 0);
    EXPECT_EQ(camera->roi_width, 1600);
    EXPECT_EQ(camera->roi_height, 1200);
}

TEST_F(CameraContextTest, NothingChangesWhileAPinIsOpen) {
    CameraContext* camera = this->camera();
    KS_DATARANGE_VIDEO before = g_video_data_range;
    camera->roi_x = 5;
    InterlockedExchange(&camera->pin_open, 1);
    EXPECT_FALSE(SetImageSize(camera, 0, 0, 640, 480));
    EXPECT_EQ(camera->image_width, 1600);
    EXPECT_EQ(camera->output_width, 1600);
    EXPECT_EQ(camera->roi_x, 5);
    EXPECT_EQ(std::memcmp(&before, &g_video_data_range, sizeof(before)), 0);
    InterlockedExchange(&camera->pin_open, 0);
    EXPECT_TRUE(SetImageSize(camera, 0, 0, 640, 480));
}

TEST_F(CameraContextTest, SizesTheSensorCannotDeliverAreRefused) {
    CameraContext* camera = this->camera();
    ASSERT_TRUE(SetImageSize(camera, 0, 0, 800, 600));
    KS_DATARANGE_VIDEO before = g_video_data_range;
    const LONG refused[][2] = {{0, 600},    {800, 0},    {-8, 600}, {800, -1},
                               {1601, 600}, {800, 1201}, {7, 600},  {0x7FFFFFFF, 0x7FFFFFFF}};
    for (const auto& size : refused) {
        EXPECT_FALSE(SetImageSize(camera, 0, 0, size[0], size[1])) << size[0] << "x" << size[1];
        EXPECT_EQ(camera->image_width, 800);
        EXPECT_EQ(camera->image_height, 600);
        EXPECT_EQ(std::memcmp(&before, &g_video_data_range, sizeof(before)), 0);
    }
    EXPECT_TRUE(SetImageSize(camera, 0, 0, 8, 1));
    EXPECT_EQ(camera->output_width, 8);
    EXPECT_TRUE(SetImageSize(camera, 0, 0, 1600, 1200));
}

TEST_F(CameraContextTest, AddFailsCleanlyWhenTheContextCannotBeAllocated) {
    const size_t contexts = platform::verifier::OutstandingBlocks(kCameraContextTag);
    platform::verifier::FailAllocationsWithTag(kCameraContextTag);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(platform::ks::CreateDevice(nullptr, &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    platform::verifier::ClearFaults();
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kCameraContextTag), contexts);
}

TEST_F(CameraContextTest, StartWithNothingPluggedInReportsTheUsbFailureAndRegistersTheFilter) {
    PKSDEVICE device = rig_.device();
    EXPECT_EQ(platform::ks::StartDevice(device), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(device->Started);
    EXPECT_EQ(CameraOfDevice(device)->usb.interface_info, nullptr);
    std::vector<platform::ks::FilterFactoryInfo> factories = platform::ks::FilterFactories(device);
    ASSERT_EQ(factories.size(), 1u);
    EXPECT_EQ(factories[0].reference_string, u"GLOBAL");
    EXPECT_EQ(factories[0].descriptor, &kFilterDescriptor);
    EXPECT_EQ(factories[0].create_item_flags, (ULONG)KSCREATE_ITEM_FREEONSTOP);
    platform::ks::StopDevice(device);
    EXPECT_TRUE(platform::ks::FilterFactories(device).empty());
}

}  // namespace
