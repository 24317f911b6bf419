#include "camera/camera_commands.h"

#include "camera/command_lock.h"
#include "camera/protocol.h"
#include "usb/usb_transport.h"

namespace {

inline constexpr LONGLONG kRegisterWriteDelay = 200;

inline constexpr LONG kRepliesPerQuery = 2;

// How a reply read ended. A read that went out takes the camera's packet, whatever came of it. One
// the camera did not answer within the time-out, or one that never went out for want of pool,
// leaves the packet owed.
enum class ReplyRead { kTaken, kTimedOut, kNotSent };

// Reads a reply packet; true when one whole packet arrived.
bool ReadReply(CameraContext* camera, PUCHAR packet, ReplyRead* how) {
    ULONG moved = 0;
    const NTSTATUS status = BulkTransfer(camera, kReplyPipe, kPacketSize, packet, &moved);
    if (status == STATUS_IO_TIMEOUT) {
        *how = ReplyRead::kTimedOut;
    } else if (status == STATUS_INSUFFICIENT_RESOURCES) {
        *how = ReplyRead::kNotSent;
    } else {
        *how = ReplyRead::kTaken;
        --camera->replies_owed;
    }
    return NT_SUCCESS(status) && moved == kPacketSize;
}

// Packets a camera sends late would otherwise be taken as the next exchange's answers. What one
// does not send within a further time-out it is taken never to send. False while a packet stays
// owed because its read could not go out: the next exchange must not go out either, or that
// packet would be taken for its answer. command_buffer already holds the next command.
bool DropOwedReplies(CameraContext* camera) {
    UCHAR dropped[kPacketSize];
    ReplyRead how = ReplyRead::kTaken;
    while (camera->replies_owed > 0 && how == ReplyRead::kTaken) {
        ReadReply(camera, dropped, &how);
    }
    if (how == ReplyRead::kNotSent) {
        return false;
    }
    camera->replies_owed = 0;
    return true;
}

// Sends command_buffer, then reads two replies into it; the answer is the second one, so the first
// is overwritten unread. Once the command is out, the camera sends both packets, so both are read
// even when the first read fails, unless the camera stopped answering or a read could not go out.
bool ExchangeWithReply(CameraContext* camera) {
    if (!DropOwedReplies(camera) || !SendCommandPacket(camera)) {
        return false;
    }
    camera->replies_owed = kRepliesPerQuery;
    bool answered = true;
    ReplyRead how = ReplyRead::kTaken;
    while (camera->replies_owed > 0 && how == ReplyRead::kTaken) {
        answered = ReadReply(camera, camera->command_buffer, &how) && answered;
    }
    return answered && how == ReplyRead::kTaken;
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
