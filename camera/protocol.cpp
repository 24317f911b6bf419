#include "camera/protocol.h"

namespace {

// The arguments the camera expects before a memory read's address, and after the finish code.
const UCHAR kMemoryReadArguments[] = {0x51, 0x02, 0x01};
inline constexpr UCHAR kFinishSetupArgument = 0x01;

VOID StartPacket(PUCHAR packet, CommandCode command) {
    RtlZeroMemory(packet, kPacketSize);
    packet[0] = command;
}

}  // namespace

VOID BuildFrameRequestPacket(PUCHAR packet) {
    StartPacket(packet, kFrameRequestCommand);
}

VOID BuildStreamControlPacket(PUCHAR packet, bool go) {
    StartPacket(packet, go ? kGoCommand : kFrameRequestCommand);
}

VOID BuildInitializePacket(PUCHAR packet) {
    StartPacket(packet, kInitializeCommand);
}

VOID BuildFinishSetupPacket(PUCHAR packet) {
    StartPacket(packet, kFinishSetupCommand);
    packet[1] = kFinishSetupArgument;
}

VOID BuildRegisterWritePacket(PUCHAR packet, ULONG number, LONG value) {
    const RegisterClass& register_class = RegisterClassOf(number);
    const ULONG word = (((ULONG)value & register_class.value_mask) << kRegisterNumberBits) +
                       (number & kRegisterNumberMask);
    StartPacket(packet, kRegisterWriteCommand);
    packet[1] = register_class.frame_bits;
    for (ULONG i = 0; i < sizeof(word); ++i) {
        packet[2 + i] = (UCHAR)(word >> (8 * i));
    }
}

VOID BuildSetItemPacket(PUCHAR packet, UCHAR item, UCHAR value) {
    StartPacket(packet, kSetItemCommand);
    packet[1] = item;
    packet[2] = value;
}

VOID BuildQueryItemPacket(PUCHAR packet, UCHAR item) {
    StartPacket(packet, kQueryItemCommand);
    packet[1] = item;
}

VOID BuildMemoryReadPacket(PUCHAR packet, ULONG address) {
    StartPacket(packet, kMemoryReadCommand);
    ULONG at = 1;
    for (UCHAR argument : kMemoryReadArguments) {
        packet[at++] = argument;
    }
    packet[at++] = (UCHAR)(address >> 8);
    packet[at] = (UCHAR)address;
}

VOID BuildRawCommandPacket(PUCHAR packet, LONG length, const UCHAR* bytes) {
    StartPacket(packet, kRawCommand);
    if (bytes == nullptr) {
        return;
    }
    const LONG count = length < (LONG)kRawCommandBytes ? length : (LONG)kRawCommandBytes;
    for (LONG i = 0; i < count; ++i) {
        packet[1 + i] = bytes[i];
    }
}
