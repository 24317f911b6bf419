// The camera's command set: sensor register writes with their shadow, camera items, camera memory
// and raw commands. All operations share command_buffer; each holds the command lock while it
// runs, so they never overlap on one camera.
#pragma once

#include "driver/camera_context.h"
#include "platform/ddk.h"

// Writes one sensor register; the value is kept unmasked in register_shadow (numbers 0..1023)
// even when the send fails.
bool WriteSensorRegister(CameraContext* camera, ULONG number, LONG value);
// The last value written to a register; false (and 0) above 1023.
bool GetRegisterShadow(CameraContext* camera, ULONG number, LONG* value);
bool SetCameraItem(CameraContext* camera, UCHAR item, UCHAR value);
// The answer is byte 0 of the second reply packet; *value is untouched on failure.
bool QueryCameraItem(CameraContext* camera, UCHAR item, LONG* value);
// The camera's memory is addressed with 16 bits.
inline constexpr ULONG kCameraMemorySize = 0x10000;
inline bool IsCameraMemoryAddress(LONG index) {
    return (ULONG)index < kCameraMemorySize;
}
// Reads the camera memory byte at register_index into *value (when given) if every transfer
// succeeded. An index the camera cannot address sends nothing: its low 16 bits would read another
// byte than the one asked for.
VOID ReadCameraMemory(CameraContext* camera, PUCHAR value);
// Command 0x40 followed by up to 63 caller bytes.
bool SendRawCommand(CameraContext* camera, LONG length, const UCHAR* bytes);

// The 64-byte packet of a sensor register write, as it goes on the wire.
VOID BuildRegisterPacket(ULONG number, LONG value, PUCHAR packet);

// A relative kernel delay in 100 ns units.
inline VOID DelayUnits(LONGLONG units) {
    LARGE_INTEGER interval;
    interval.QuadPart = -units;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
