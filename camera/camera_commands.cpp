#include "camera/camera_commands.h"

#include "camera/command_lock.h"
#include "camera/protocol.h"
#include "usb/usb_transport.h"

namespace {

inline constexpr LONGLONG kRegisterWriteDelay = 200;

inline constexpr LONG kRepliesPerQuery = 2;

// Reads a reply packet; true when one whole packet arrived. A read the camera does not answer
// within the time-out leaves that packet owed.
bool ReadReply(CameraContext* camera, PUCHAR packet, bool* timed_out) {
    ULONG moved = 0;
    const NTSTATUS status = BulkTransfer(camera, kReplyPipe, kPacketSize, packet, &moved);
    *timed_out = status == STATUS_IO_TIMEOUT;
    if (!*timed_out) {
        --camera->replies_owed;
    }
    return NT_SUCCESS(status) && moved == kPacketSize;
}

// Packets a camera sends late would otherwise be taken as the next exchange's answers. What one
// does not send within a further time-out it is taken never to send. command_buffer already holds
// the next command.
VOID DropOwedReplies(CameraContext* camera) {
    UCHAR dropped[kPacketSize];
    bool timed_out = false;
    while (camera->replies_owed > 0 && !timed_out) {
        ReadReply(camera, dropped, &timed_out);
    }
    camera->replies_owed = 0;
}

// Sends command_buffer, then reads two replies into it; the answer is the second one, so the first
// is overwritten unread. Once the command is out, the camera sends both packets, so both are read
// even when the first read fails, unless the camera stopped answering.
bool ExchangeWithReply(CameraContext* camera) {
    DropOwedReplies(camera);
    if (!SendCommandPacket(camera)) {
        return false;
    }
    camera->replies_owed = kRepliesPerQuery;
    bool answered = true;
    bool timed_out = false;
    while (camera->replies_owed > 0 && !timed_out) {
        answered = ReadReply(camera, camera->command_buffer, &timed_out) && answered;
    }
    return answered && !timed_out;
}

}  // namespace

bool SendCommandPacket(CameraContext* camera) {
    return TransferPacket(camera, kCommandPipe, kPacketSize, camera->command_buffer);
}

bool SendInitialize(CameraContext* camera) {
    CommandSequence sequence(camera);
    BuildInitializePacket(camera->command_buffer);
    return SendCommandPacket(camera);
}

bool WriteSensorRegister(CameraContext* camera, ULONG number, LONG value) {
    CommandSequence sequence(camera);
    if (number < kRegisterCount) {
        InterlockedExchange(&camera->register_shadow[number], value);
    }
    BuildRegisterWritePacket(camera->command_buffer, number, value);
    if (!SendCommandPacket(camera)) {
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
    BuildSetItemPacket(camera->command_buffer, item, value);
    return SendCommandPacket(camera);
}

bool QueryCameraItem(CameraContext* camera, UCHAR item, LONG* value) {
    CommandSequence sequence(camera);
    BuildQueryItemPacket(camera->command_buffer, item);
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
    BuildMemoryReadPacket(camera->command_buffer, (ULONG)index);
    if (ExchangeWithReply(camera) && value != nullptr) {
        *value = camera->command_buffer[0];
    }
}

bool SendRawCommand(CameraContext* camera, LONG length, const UCHAR* bytes) {
    CommandSequence sequence(camera);
    BuildRawCommandPacket(camera->command_buffer, length, bytes);
    return SendCommandPacket(camera);
}
