#include "camera/capture_setup.h"

#include "camera/camera_commands.h"
#include "camera/command_lock.h"
#include "usb/usb_transport.h"

namespace {

inline constexpr LONG kProgramRuns = 2;
inline constexpr LONGLONG kProgramDelay = 500;
inline constexpr LONGLONG kSetupStepDelay = 800;
inline constexpr UCHAR kFinishSetup = 0x0A;
inline constexpr UCHAR kCaptureItem = 14;
inline constexpr ULONG kFrameSizeGranule = 2048;

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
    for (ULONG i = 0; i < kPacketSize; ++i) {
        camera->command_buffer[i] = 0;
    }
    camera->command_buffer[0] = kFinishSetup;
    camera->command_buffer[1] = 0x01;
    bool sent = TransferPacket(camera, kCommandPipe, kPacketSize, camera->command_buffer);
    return SetCameraItem(camera, kCaptureItem, 0) && sent;
}

VOID StartCapture(CameraContext* camera, FrameProcessor* processor, LONG width, LONG height) {
    UNREFERENCED_PARAMETER(processor);
    UNREFERENCED_PARAMETER(width);
    UNREFERENCED_PARAMETER(height);
    CommandSequence sequence(camera);
    RunStartupSequence(camera);
    LONG w = camera->image_width;
    LONG h = camera->image_height;
    WriteSensorRegister(camera, 54, 0);
    camera->raw_data_offset = 0;
    camera->raw_row_pitch = w;
    ULONG pixels = (ULONG)w * (ULONG)h;
    ULONG size = pixels & ~(kFrameSizeGranule - 1);
    if ((pixels & (kFrameSizeGranule - 1)) != 0) {
        size += kFrameSizeGranule;
    }
    camera->raw_frame_size = size;
    // Item 0 carries the low byte, which a multiple of 2048 never has.
    SetCameraItem(camera, 0, 0);
    DelayUnits(kSetupStepDelay);
    for (UCHAR item = 1; item <= 3; ++item) {
        SetCameraItem(camera, item, (UCHAR)(size >> (8 * item)));
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
