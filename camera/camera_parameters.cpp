#include "camera/camera_parameters.h"

#include "camera/camera_commands.h"
#include "camera/command_lock.h"
#include "camera/protocol.h"
#include "usb/usb_transport.h"

bool SetExposure(CameraContext* camera, ULONG value) {
    const ULONG low = (ULONG)kExposureMin;
    const ULONG high = (ULONG)kExposureMax;
    const ULONG v = value < low ? low : value > high ? high : value;
    CommandSequence sequence(camera);
    // The register write cuts the high field to its register's width; the clamp keeps it within.
    static_assert(kExposureMax >> kShortRegisterBits <= (LONG)kShortRegisterMask);
    for (const RegisterPair& registers : kExposureRegisters) {
        if (!WriteSensorRegister(camera, registers.low, (LONG)(v & kShortRegisterMask)) ||
            !WriteSensorRegister(camera, registers.high, (LONG)(v >> kShortRegisterBits))) {
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
    if (!WriteSensorRegister(camera, kGlobalGainRegisters.low, (LONG)(g & kShortRegisterMask)) ||
        !WriteSensorRegister(camera, kGlobalGainRegisters.high,
                             (LONG)((g >> kShortRegisterBits) & kGlobalGainHighMask))) {
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
    GetRegisterShadow(camera, kTriggerModeRegister, &mode);
    GetRegisterShadow(camera, kTriggerTimingRegister, &timing);
    WriteSensorRegister(camera, kTriggerModeRegister,
                        on ? mode & ~kFreeRunBit : mode | kFreeRunBit);
    // In unsigned arithmetic: a client may have written any value to the register, and the sum
    // only has to be right in the bits the register keeps.
    const ULONG timing_bits =
        ((ULONG)timing & ~(ULONG)kTimingBits) + (ULONG)(on ? kTimingTriggered : kTimingFreeRunning);
    const bool timed = WriteSensorRegister(camera, kTriggerTimingRegister, (LONG)timing_bits);
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
        InterlockedExchange(&camera->clock_mode, ClockModeOfAnswer(answer));
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
