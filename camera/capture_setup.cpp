#include "camera/capture_setup.h"

#include "camera/camera_commands.h"
#include "camera/command_lock.h"
#include "camera/protocol.h"

namespace {

inline constexpr LONG kProgramRuns = 2;
inline constexpr LONGLONG kProgramDelay = 500;
inline constexpr LONGLONG kSetupStepDelay = 800;

}  // namespace

bool RunStartupSequence(CameraContext* camera) {
    CommandSequence sequence(camera);
    if (camera->startup_sequence_count >= kProgramRuns) {
        return true;
    }
    ++camera->startup_sequence_count;
    DelayUnits(kProgramDelay);
    for (ULONG i = 0; i < kRegisterProgramLength; ++i) {
        RegisterWrite write = RegisterProgramWrite(i);
        WriteSensorRegister(camera, write.number, write.value);
    }
    return true;
}

bool FinishCaptureSetup(CameraContext* camera) {
    CommandSequence sequence(camera);
    BuildFinishSetupPacket(camera->command_buffer);
    bool sent = SendCommandPacket(camera);
    return SetCameraItem(camera, kCaptureSetupItem, 0) && sent;
}

VOID StartCapture(CameraContext* camera, FrameProcessor* processor, LONG width, LONG height) {
    UNREFERENCED_PARAMETER(processor);
    UNREFERENCED_PARAMETER(width);
    UNREFERENCED_PARAMETER(height);
    CommandSequence sequence(camera);
    RunStartupSequence(camera);
    LONG w = camera->image_width;
    LONG h = camera->image_height;
    WriteSensorRegister(camera, kCaptureSetupRegister, 0);
    camera->raw_data_offset = 0;
    camera->raw_row_pitch = w;
    ULONG pixels = (ULONG)w * (ULONG)h;
    ULONG size = pixels & ~(kFrameSizeGranule - 1);
    if ((pixels & (kFrameSizeGranule - 1)) != 0) {
        size += kFrameSizeGranule;
    }
    camera->raw_frame_size = size;
    // The first item carries the low byte, which a whole number of blocks never has.
    static_assert(kFrameSizeGranule % 0x100 == 0);
    SetCameraItem(camera, kFrameSizeItem, 0);
    DelayUnits(kSetupStepDelay);
    for (UCHAR byte = 1; byte < kFrameSizeItemCount; ++byte) {
        SetCameraItem(camera, (UCHAR)(kFrameSizeItem + byte), (UCHAR)(size >> (8 * byte)));
        DelayUnits(kSetupStepDelay);
    }
    FinishCaptureSetup(camera);
    DelayUnits(kSetupStepDelay);
    camera->bayer_phase = camera->bayer_phase_default;
}

VOID GetRawFrameSize(CameraContext* camera, LONG* size) {
    *size = (LONG)camera->raw_frame_size;
}

VOID GetRawDataOffset(CameraContext* camera, LONG* offset) {
    *offset = camera->raw_data_offset;
}

VOID GetRawRowPitch(CameraContext* camera, LONG* pitch) {
    *pitch = camera->raw_row_pitch;
}
