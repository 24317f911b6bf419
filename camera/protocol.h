// The camera's protocol as the driver speaks it: command codes, camera items, the sensor registers
// the driver programs by name, the register classes and the builders of every packet the driver
// sends. A packet is kPacketSize bytes: byte 0 the command code, the arguments after it, every
// byte the command does not use zero.
#pragma once

#include "driver/camera_context.h"
#include "platform/ddk.h"

// ---- Command codes ------------------------------------------------------------------------------

// Byte 0 of every packet.
enum CommandCode : UCHAR {
    // Asks for one frame. Sent again once the frame's transfers are being queued, it arms the
    // camera; the go code then starts the frame.
    kFrameRequestCommand = 0x02,
    kGoCommand = 0x03,
    kRegisterWriteCommand = 0x04,
    // The first packet after device start.
    kInitializeCommand = 0x06,
    kFinishSetupCommand = 0x0A,
    kSetItemCommand = 0x25,
    // Answered by two reply packets; byte 0 of the second is the answer.
    kQueryItemCommand = 0x26,
    // Followed by up to kRawCommandBytes caller bytes.
    kRawCommand = 0x40,
    // Answered as a query is.
    kMemoryReadCommand = 0x41,
};
inline constexpr ULONG kRawCommandBytes = kPacketSize - 1;

// The camera's memory is addressed with 16 bits.
inline constexpr ULONG kCameraMemorySize = 0x10000;
inline bool IsCameraMemoryAddress(LONG index) {
    return (ULONG)index < kCameraMemorySize;
}

// ---- Camera items -------------------------------------------------------------------------------

enum CameraItemNumber : UCHAR {
    // This item and the three after it carry bytes 0 to 3 of the raw frame size, least
    // significant first.
    kFrameSizeItem = 0,
    // 1: frames on the external trigger, 0: free running.
    kTriggerItem = 11,
    // Sent as 0 to finish the capture set-up.
    kCaptureSetupItem = 14,
    // Queried: the sensor clock setting.
    kClockItem = 15,
};
inline constexpr UCHAR kFrameSizeItemCount = 4;

// The camera gives one clock setting two answers; they are kept as one.
inline LONG ClockModeOfAnswer(LONG answer) {
    return answer == 3 ? 2 : answer;
}

// The camera sends a raw frame as a whole number of blocks of this many bytes.
inline constexpr ULONG kFrameSizeGranule = 2048;

// ---- Sensor registers ---------------------------------------------------------------------------

// A register write travels as one serial frame: the register number in its low bits, the value,
// cut to the register's class, above it.
inline constexpr ULONG kRegisterNumberBits = 10;
inline constexpr ULONG kRegisterNumberMask = (1u << kRegisterNumberBits) - 1;

// Registers up to 255 hold this many bits; wider settings are split into fields of this width.
inline constexpr ULONG kShortRegisterBits = 6;
inline constexpr ULONG kShortRegisterMask = (1u << kShortRegisterBits) - 1;

struct RegisterClass {
    ULONG last_number;  // the class holds the registers up to this number
    ULONG value_mask;
    UCHAR frame_bits;  // the serial frame's length: number bits plus value bits
};
inline constexpr RegisterClass kRegisterClasses[] = {
    {255, kShortRegisterMask, kRegisterNumberBits + kShortRegisterBits},
    {383, 0xFFFF, kRegisterNumberBits + 16},
    {0xFFFFFFFF, 0x3FFFFF, kRegisterNumberBits + 22},
};

constexpr const RegisterClass& RegisterClassOf(ULONG number) {
    for (const RegisterClass& register_class : kRegisterClasses) {
        if (number <= register_class.last_number)
            return register_class;
    }
    return kRegisterClasses[sizeof(kRegisterClasses) / sizeof(kRegisterClasses[0]) - 1];
}

// Exposure: two copies, each a register of its low field followed by one of its high field.
struct RegisterPair {
    ULONG low;
    ULONG high;
};
inline constexpr RegisterPair kExposureRegisters[] = {{158, 159}, {161, 162}};
// Global gain: its low field, then the four bits above it.
inline constexpr RegisterPair kGlobalGainRegisters = {6, 7};
inline constexpr ULONG kGlobalGainHighMask = 0x0F;

// The trigger mode register: this bit set is free running.
inline constexpr ULONG kTriggerModeRegister = 32;
inline constexpr LONG kFreeRunBit = 0x10;
// The trigger timing register: its low bits take one of two timings.
inline constexpr ULONG kTriggerTimingRegister = 33;
inline constexpr LONG kTimingBits = 0x0F;
inline constexpr LONG kTimingTriggered = 28;
inline constexpr LONG kTimingFreeRunning = 1;

// Cleared at the start of every capture set-up.
inline constexpr ULONG kCaptureSetupRegister = 54;

// ---- Packets ------------------------------------------------------------------------------------

// Each builder fills all kPacketSize bytes of packet.
VOID BuildFrameRequestPacket(PUCHAR packet);
// The arm packet (the frame request code) when go is false, else the go packet.
VOID BuildStreamControlPacket(PUCHAR packet, bool go);
VOID BuildInitializePacket(PUCHAR packet);
VOID BuildFinishSetupPacket(PUCHAR packet);
// Numbers above kRegisterNumberMask lose their high bits; the value is cut to the class mask.
VOID BuildRegisterWritePacket(PUCHAR packet, ULONG number, LONG value);
VOID BuildSetItemPacket(PUCHAR packet, UCHAR item, UCHAR value);
VOID BuildQueryItemPacket(PUCHAR packet, UCHAR item);
// The address's low 16 bits.
VOID BuildMemoryReadPacket(PUCHAR packet, ULONG address);
// The first min(length, kRawCommandBytes) caller bytes; none when length is not positive or bytes
// is null.
VOID BuildRawCommandPacket(PUCHAR packet, LONG length, const UCHAR* bytes);
