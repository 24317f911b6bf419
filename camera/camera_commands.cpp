#include "camera/camera_commands.h"

#include "camera/command_lock.h"
#include "usb/usb_transport.h"

namespace {

inline constexpr UCHAR kRegisterWrite = 0x04;
inline constexpr UCHAR kSetItem = 0x25;
inline constexpr UCHAR kQueryItem = 0x26;
inline constexpr UCHAR kRawCommand = 0x40;
inline constexpr UCHAR kReadMemory = 0x41;
inline constexpr LONGLONG kRegisterWriteDelay = 200;

VOID ClearPacket(PUCHAR packet) {
    for (ULONG i = 0; i < kPacketSize; ++i) {
        packet[i] = 0;
    }
}

// Sends command_buffer, then reads two replies into it; the answer is the second one, so the first
// is overwritten unread. Once the command is out, the camera sends both packets, so both are read
// even when the first read fails: a packet left queued would become the next exchange's answer.
bool ExchangeWithReply(CameraContext* camera) {
    if (!TransferPacket(camera, kCommandPipe, kPacketSize, camera->command_buffer)) {
        return false;
    }
    bool first = TransferPacket(camera, kReplyPipe, kPacketSize, camera->command_buffer);
    bool second = TransferPacket(camera, kReplyPipe, kPacketSize, camera->command_buffer);
    return first && second;
}

}  // namespace

VOID BuildRegisterPacket(ULONG number, LONG value, PUCHAR packet) {
    ULONG mask = 0x3FFFFF;
    UCHAR bits = 32;
    if (number <= 255) {
        mask = 0x3F;
        bits = 16;
    } else if (number <= 383) {
        mask = 0xFFFF;
        bits = 26;
    }
    ULONG word = (((ULONG)value & mask) << 10) + (number & 0x3FF);
    ClearPacket(packet);
    packet[0] = kRegisterWrite;
    packet[1] = bits;
    for (ULONG i = 0; i < 4; ++i) {
        packet[2 + i] = (UCHAR)(word >> (8 * i));
    }
}

bool WriteSensorRegister(CameraContext* camera, ULONG number, LONG value) {
    CommandSequence sequence(camera);
    if (number < kRegisterCount) {
        InterlockedExchange(&camera->register_shadow[number], value);
    }
    BuildRegisterPacket(number, value, camera->command_buffer);
    if (!TransferPacket(camera, kCommandPipe, kPacketSize, camera->command_buffer)) {
        return false;
    }
    DelayUnits(kRegisterWriteDelay);
    return true;
}

bool GetRegisterShadow(CameraContext* camera, ULONG number, LONG* value) {
    *value = 0;
    if (number >= kRegisterCount) {
        return false;
    }
    // Read by property requests while command sequences write it.
    *value = AtomicRead(&camera->register_shadow[number]);
    return true;
}

bool SetCameraItem(CameraContext* camera, UCHAR item, UCHAR value) {
    CommandSequence sequence(camera);
    ClearPacket(camera->command_buffer);
    camera->command_buffer[0] = kSetItem;
    camera->command_buffer[1] = item;
    camera->command_buffer[2] = value;
    return TransferPacket(camera, kCommandPipe, kPacketSize, camera->command_buffer);
}

bool QueryCameraItem(CameraContext* camera, UCHAR item, LONG* value) {
    CommandSequence sequence(camera);
    ClearPacket(camera->command_buffer);
    camera->command_buffer[0] = kQueryItem;
    camera->command_buffer[1] = item;
    if (!ExchangeWithReply(camera)) {
        return false;
    }
    *value = camera->command_buffer[0];
    return true;
}

VOID ReadCameraMemory(CameraContext* camera, PUCHAR value) {
    CommandSequence sequence(camera);
    const LONG index = AtomicRead(&camera->register_index);
    if (!IsCameraMemoryAddress(index))
        return;
    const ULONG address = (ULONG)index;
    ClearPacket(camera->command_buffer);
    camera->command_buffer[0] = kReadMemory;
    camera->command_buffer[1] = 0x51;
    camera->command_buffer[2] = 0x02;
    camera->command_buffer[3] = 0x01;
    camera->command_buffer[4] = (UCHAR)(address >> 8);
    camera->command_buffer[5] = (UCHAR)address;
    if (ExchangeWithReply(camera) && value != nullptr) {
        *value = camera->command_buffer[0];
    }
}

bool SendRawCommand(CameraContext* camera, LONG length, const UCHAR* bytes) {
    CommandSequence sequence(camera);
    ClearPacket(camera->command_buffer);
    camera->command_buffer[0] = kRawCommand;
    LONG count = length < (LONG)kPacketSize - 1 ? length : (LONG)kPacketSize - 1;
    if (bytes != nullptr) {
        for (LONG i = 0; i < count; ++i) {
            camera->command_buffer[1 + i] = bytes[i];
        }
    }
    return TransferPacket(camera, kCommandPipe, kPacketSize, camera->command_buffer);
}
