// The operations behind the camera's settings other than colour: the sensor settings (exposure,
// global gain, external trigger), which reach the camera at once, also while streaming, and the
// settings the capture path reads from the context (time-out, flips, region, register index).
// Out-of-range values are clamped to the ranges the property table reports, never refused.
#pragma once

#include "camdrv/camera_properties.h"
#include "driver/camera_context.h"

inline constexpr LONG kExposureMin = camdrv::RangeMin(camdrv::CameraItem::Exposure);
inline constexpr LONG kExposureMax = camdrv::RangeMax(camdrv::CameraItem::Exposure);
inline constexpr LONG kGlobalGainMin = camdrv::RangeMin(camdrv::CameraItem::GlobalGain);
inline constexpr LONG kGlobalGainMax = camdrv::RangeMax(camdrv::CameraItem::GlobalGain);
inline constexpr LONG kSensorWidth = camdrv::FixedValue(camdrv::CameraItem::SensorWidth);
inline constexpr LONG kSensorHeight = camdrv::FixedValue(camdrv::CameraItem::SensorHeight);

// Sensor setters send their register writes as one command sequence and return whether the writes
// they report on succeeded; the field keeps its old value when they did not (the external trigger
// excepted, see below).

// Taken unsigned and clamped: registers 158, 159, 161 and 162.
bool SetExposure(CameraContext* camera, ULONG value);
LONG GetExposure(CameraContext* camera);
// Taken unsigned, at most kGlobalGainMax: registers 6 and 7.
bool SetGlobalGain(CameraContext* camera, ULONG value);
LONG GetGlobalGain(CameraContext* camera);
// Camera item 11, then registers 32 and 33 from their last written values. The setting is stored
// once the item was taken, whatever the register writes did; the result is the register 33 write.
bool SetExternalTrigger(CameraContext* camera, UCHAR on);
LONG GetExternalTrigger(CameraContext* camera);

// The shortest frame time-out that clients and stored settings may set; shorter ones are passed
// over.
inline constexpr LONG kTimeoutMin = camdrv::kTimeoutMinMs;
// Not checked here: the callers keep the time-out to their ranges.
VOID SetTimeout(CameraContext* camera, LONG milliseconds);
LONG GetTimeout(CameraContext* camera);
// Asks the camera (item 15); keeps the last answer when it gives none.
LONG GetClock(CameraContext* camera);
VOID SetClock(CameraContext* camera, LONG value);
LONG GetAgc(CameraContext* camera);
LONG GetAec(CameraContext* camera);

VOID SetFlipH(CameraContext* camera, LONG value);
LONG GetFlipH(CameraContext* camera);
VOID SetFlipV(CameraContext* camera, LONG value);
LONG GetFlipV(CameraContext* camera);

LONG GetSubsample(CameraContext* camera);
LONG GetRoiX(CameraContext* camera);
LONG GetRoiY(CameraContext* camera);
LONG GetRoiWidth(CameraContext* camera);
LONG GetRoiHeight(CameraContext* camera);
VOID GetImageSizeLimits(LONG* width, LONG* height);
// 1 while any capture pin of the device exists, else 0.
LONG GetPinOpen(CameraContext* camera);
// The register number or camera memory address that the register and memory reads use.
VOID SetRegisterIndex(CameraContext* camera, LONG index);
LONG GetRegisterIndex(CameraContext* camera);
