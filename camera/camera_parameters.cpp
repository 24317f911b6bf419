#include "camera/camera_parameters.h"

#include "camera/camera_commands.h"
#include "camera/command_lock.h"
#include "driver/descriptors.h"
#include "usb/usb_transport.h"

namespace {

inline constexpr ULONG kExposureLow[] = {158, 161};  // bits 0-5, each followed by its bits 6-11
inline constexpr ULONG kGainLow = 6;
inline constexpr ULONG kGainHigh = 7;
inline constexpr ULONG kTriggerMode = 32;
inline constexpr ULONG kTriggerTiming = 33;
inline constexpr UCHAR kTriggerItem = 11;
inline constexpr UCHAR kClockItem = 15;
inline constexpr LONG kFreeRunBit = 0x10;
inline constexpr LONG kTimingBits = 0x0F;
inline constexpr LONG kTimingTriggered = 28;
inline constexpr LONG kTimingFreeRunning = 1;

}  // namespace

bool SetExposure(CameraContext* camera, ULONG value) {
    const ULONG low = (ULONG)kExposureMin;
    const ULONG high = (ULONG)kExposureMax;
    const ULONG v = value < low ? low : value > high ? high : value;
    CommandSequence sequence(camera);
    for (ULONG first : kExposureLow) {
        if (!WriteSensorRegister(camera, first, (LONG)(v & 0x3F)) ||
            !WriteSensorRegister(camera, first + 1, (LONG)((v >> 6) & 0x3F))) {
            return false;
        }
    }
    InterlockedExchange(&camera->exposure, (LONG)v);
    return true;
}

LONG GetExposure(CameraContext* camera) {
    return AtomicRead(&camera->exposure);
}

bool SetGlobalGain(CameraContext* camera, ULONG value) {
    const ULONG g = value > (ULONG)kGlobalGainMax ? (ULONG)kGlobalGainMax : value;
    CommandSequence sequence(camera);
    if (!WriteSensorRegister(camera, kGainLow, (LONG)(g & 0x3F)) ||
        !WriteSensorRegister(camera, kGainHigh, (LONG)((g >> 6) & 0x0F))) {
        return false;
    }
    InterlockedExchange(&camera->global_gain, (LONG)g);
    return true;
}

LONG GetGlobalGain(CameraContext* camera) {
    return AtomicRead(&camera->global_gain);
}

bool SetExternalTrigger(CameraContext* camera, UCHAR on) {
    CommandSequence sequence(camera);
    if (!SetCameraItem(camera, kTriggerItem, on ? 1 : 0)) {
        return false;
    }
    // Read-modify-write from the last values written: the registers cannot be read back.
    LONG mode = 0;
    LONG timing = 0;
    GetRegisterShadow(camera, kTriggerMode, &mode);
    GetRegisterShadow(camera, kTriggerTiming, &timing);
    WriteSensorRegister(camera, kTriggerMode, on ? mode & ~kFreeRunBit : mode | kFreeRunBit);
    const bool timed =
        WriteSensorRegister(camera, kTriggerTiming,
                            (timing & ~kTimingBits) + (on ? kTimingTriggered : kTimingFreeRunning));
    InterlockedExchange(&camera->external_trigger, on ? 1 : 0);
    return timed;
}

LONG GetExternalTrigger(CameraContext* camera) {
    return AtomicRead(&camera->external_trigger) & 0xFF;
}

VOID SetTimeout(CameraContext* camera, LONG milliseconds) {
    InterlockedExchange(&camera->timeout_ms, milliseconds);
    InterlockedExchange(&frame_timeout_ms, milliseconds);
}

LONG GetTimeout(CameraContext* camera) {
    return AtomicRead(&camera->timeout_ms);
}

LONG GetClock(CameraContext* camera) {
    CommandSequence sequence(camera);
    LONG answer = 0;
    if (QueryCameraItem(camera, kClockItem, &answer)) {
        InterlockedExchange(&camera->clock_mode, answer == 3 ? 2 : answer);
    }
    return AtomicRead(&camera->clock_mode);
}

VOID SetClock(CameraContext* camera, LONG value) {
    // The sensor clock, like automatic gain and exposure, cannot be changed: a request to is
    // accepted and changes nothing.
    UNREFERENCED_PARAMETER(camera);
    UNREFERENCED_PARAMETER(value);
}

LONG GetAgc(CameraContext* camera) {
    return camera->agc;
}

LONG GetAec(CameraContext* camera) {
    return camera->aec;
}

VOID SetFlipH(CameraContext* camera, LONG value) {
    InterlockedExchange(&camera->flip_h, value);
}

LONG GetFlipH(CameraContext* camera) {
    return AtomicRead(&camera->flip_h);
}

VOID SetFlipV(CameraContext* camera, LONG value) {
    InterlockedExchange(&camera->flip_v, value);
}

LONG GetFlipV(CameraContext* camera) {
    return AtomicRead(&camera->flip_v);
}

LONG GetSubsample(CameraContext* camera) {
    return AtomicRead(&camera->subsample);
}

LONG GetRoiX(CameraContext* camera) {
    return AtomicRead(&camera->roi_x);
}

LONG GetRoiY(CameraContext* camera) {
    return AtomicRead(&camera->roi_y);
}

LONG GetRoiWidth(CameraContext* camera) {
    return AtomicRead(&camera->roi_width);
}

LONG GetRoiHeight(CameraContext* camera) {
    return AtomicRead(&camera->roi_height);
}

VOID GetImageSizeLimits(LONG* width, LONG* height) {
    *width = kSensorWidth;
    *height = kSensorHeight;
}

LONG GetPinOpen(CameraContext* camera) {
    return AtomicRead(&camera->pin_open) != 0 ? 1 : 0;
}

VOID SetRegisterIndex(CameraContext* camera, LONG index) {
    InterlockedExchange(&camera->register_index, index);
}

LONG GetRegisterIndex(CameraContext* camera) {
    return AtomicRead(&camera->register_index);
}
