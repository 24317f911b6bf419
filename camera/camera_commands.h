// The camera's command set: sensor register writes with their shadow, camera items, camera memory
// and raw commands. All operations share command_buffer; each holds the command lock while it
// runs, so they never overlap on one camera.
#pragma once

#include "camera/protocol.h"
#include "driver/camera_context.h"
#include "platform/ddk.h"

// Sends the packet built in command_buffer on the command pipe; the caller holds the command lock.
bool SendCommandPacket(CameraContext* camera);
// Wakes the camera: the first packet after device start.
bool SendInitialize(CameraContext* camera);

// Writes one sensor register; the value is kept unmasked in register_shadow (numbers 0..1023)
// even when the send fails.
bool WriteSensorRegister(CameraContext* camera, ULONG number, LONG value);
// The last value written to a register; false (and 0) above 1023.
bool GetRegisterShadow(CameraContext* camera, ULONG number, LONG* value);
bool SetCameraItem(CameraContext* camera, UCHAR item, UCHAR value);
// The answer is byte 0 of the second reply packet; *value is untouched on failure.
bool QueryCameraItem(CameraContext* camera, UCHAR item, LONG* value);
// Reads the camera memory byte at register_index into *value (when given) if every transfer
// succeeded. An index the camera cannot address sends nothing: its low 16 bits would read another
// byte than the one asked for.
VOID ReadCameraMemory(CameraContext* camera, PUCHAR value);
// The raw command followed by up to kRawCommandBytes caller bytes.
bool SendRawCommand(CameraContext* camera, LONG length, const UCHAR* bytes);

// A relative kernel delay in 100 ns units.
inline VOID DelayUnits(LONGLONG units) {
    LARGE_INTEGER interval;
    interval.QuadPart = -units;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
