// The static descriptors through which the class driver sees the device, and the one video data
// range that the capture pin offers.
#pragma once

#include "camdrv/camera_properties.h"
#include "platform/ddk.h"

inline constexpr LONG kSensorWidth = camdrv::FixedValue(camdrv::CameraItem::SensorWidth);
inline constexpr LONG kSensorHeight = camdrv::FixedValue(camdrv::CameraItem::SensorHeight);
inline constexpr LONG kNominalFrameRate = 30;

extern const KSDEVICE_DESCRIPTOR kDeviceDescriptor;
extern const KSFILTER_DESCRIPTOR kFilterDescriptor;
extern const KSPIN_DESCRIPTOR_EX kCapturePinDescriptor;
extern const KSALLOCATOR_FRAMING_EX kCaptureAllocatorFraming;

// Shared by every device the driver serves; SetImageSize rewrites its geometry.
extern KS_DATARANGE_VIDEO g_video_data_range;

// Rewrites every geometry-dependent field of the data range for output width w, height h and
// frame rate f (a rate below 1 counts as 30).
VOID WriteVideoDataRange(KS_DATARANGE_VIDEO* range, LONG w, LONG h, LONG f);
