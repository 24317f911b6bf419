// The wire protocol as the simulated camera speaks it: its USB identity and endpoints, the command
// packets, camera items, sensor registers and replies. The camera keeps its own names for these
// numbers and shares none with the host, so a number the two sides disagree on shows as a protocol
// error or a wrong frame rather than agreeing with itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sim {

// ---- USB identity and endpoints ----------------------------------------------------------------

inline constexpr uint16_t kVendorId = 0xFFF0;  // a test id, no maker's
inline constexpr uint16_t kProductId = 0x0C01;
inline constexpr uint16_t kUsbRelease = 0x0200;
inline constexpr uint16_t kDeviceRelease = 0x0100;
inline constexpr uint8_t kControlPacket = 64;  // endpoint 0's packet size
inline constexpr uint8_t kConfigurationValue = 1;
inline constexpr uint8_t kInterfaceNumber = 0;
inline constexpr uint8_t kVendorClass = 0xFF;
inline constexpr uint8_t kBusPowered = 0x80;
inline constexpr uint8_t kMaxPower = 250;  // in 2 mA units: 500 mA

inline constexpr uint8_t kCommandEndpoint = 0x01;  // bulk OUT: command packets
inline constexpr uint8_t kReplyEndpoint = 0x81;    // bulk IN: reply packets
inline constexpr uint8_t kFrameEndpoint = 0x82;    // bulk IN: raw frames
inline constexpr uint8_t kEndpointCount = 3;
inline constexpr uint16_t kMaxPacket = 512;  // of each bulk endpoint

// ---- Command packets ---------------------------------------------------------------------------

// Byte 0 is the command code; every byte a command does not use is zero.
inline constexpr uint32_t kPacketSize = 64;
using Packet = std::array<uint8_t, kPacketSize>;

namespace command {
inline constexpr uint8_t kFrameRequest = 0x02;  // requests a frame; a second one arms it
inline constexpr uint8_t kGo = 0x03;            // starts the armed frame
inline constexpr uint8_t kRegisterWrite = 0x04;
inline constexpr uint8_t kWake = 0x06;
inline constexpr uint8_t kCaptureSetup = 0x0A;
inline constexpr uint8_t kItemSet = 0x25;
inline constexpr uint8_t kItemQuery = 0x26;  // answered by two reply packets
inline constexpr uint8_t kRawCommand = 0x40;
inline constexpr uint8_t kMemoryRead = 0x41;  // answered by two reply packets
}  // namespace command

// Argument bytes, by their place in the packet.
inline constexpr size_t kArgument = 1;  // the first byte after the code
inline constexpr uint8_t kCaptureSetupArgument = 0x01;
// An item set: byte 1 the item, byte 2 its value; a query names the item in byte 1.
inline constexpr size_t kItemByte = 1;
inline constexpr size_t kItemValueByte = 2;
// A register write: byte 1 the serial frame's length in bits, bytes 2..5 its word, least
// significant byte first.
inline constexpr size_t kFrameBitsByte = 1;
inline constexpr size_t kFrameWordByte = 2;
// A memory read: a fixed header in bytes 1..3, then the address, most significant byte first.
inline constexpr std::array<uint8_t, 3> kMemoryReadHeader = {0x51, 0x02, 0x01};
inline constexpr size_t kMemoryAddressByte = 4;
// The first byte each command leaves zero.
inline constexpr size_t kRegisterWriteEnd = 6;
inline constexpr size_t kItemSetEnd = 3;
inline constexpr size_t kItemQueryEnd = 2;
inline constexpr size_t kCaptureSetupEnd = 2;
inline constexpr size_t kMemoryReadEnd = 6;

// ---- Replies -----------------------------------------------------------------------------------

// A query is answered by a status packet and then the answer in byte 0 of the second packet. The
// status packet's byte 0 is the answer inverted, so a host that keeps the wrong packet gets a wrong
// value; byte 1 repeats the command code and byte 2 is a marker.
inline constexpr uint8_t kStatusInvert = 0xFF;
inline constexpr size_t kStatusCodeByte = 1;
inline constexpr size_t kStatusMarkerByte = 2;
inline constexpr uint8_t kStatusMarker = 0xA5;

// ---- Camera items ------------------------------------------------------------------------------

inline constexpr uint32_t kItemCount = 256;

namespace item {
// Items 0..3: the raw frame size in bytes, least significant byte first.
inline constexpr uint8_t kFrameSize = 0;
inline constexpr uint8_t kFrameSizeItems = 4;
inline constexpr uint8_t kTriggerMode = 11;  // nonzero: each frame waits for the external trigger
inline constexpr uint8_t kClock = 15;        // the sensor clock setting
}  // namespace item

inline constexpr uint8_t kDefaultClockSetting = 2;

// ---- Sensor registers --------------------------------------------------------------------------

inline constexpr uint32_t kRegisterCount = 1024;

// The serial frame word: the register number in its low bits, the value above them. The frame is
// as long as the register's class needs: 6-bit values below register 256, 16-bit values below
// 384, 22-bit values from there on.
inline constexpr uint32_t kRegisterNumberBits = 10;
inline constexpr uint32_t kRegisterNumberMask = (1u << kRegisterNumberBits) - 1;
inline constexpr uint32_t kFirst16BitRegister = 256;
inline constexpr uint32_t kFirst22BitRegister = 384;

constexpr uint8_t RegisterFrameBits(uint32_t number) {
    return static_cast<uint8_t>(kRegisterNumberBits + (number < kFirst16BitRegister   ? 6
                                                       : number < kFirst22BitRegister ? 16
                                                                                      : 22));
}

// The sensor's settings span register pairs: the low 6 bits in the first, the rest in the next.
inline constexpr uint32_t kPairLowBits = 6;

namespace reg {
inline constexpr uint32_t kGain = 6;  // and 7
// Two exposure pairs; the sensor integrates for their mean.
inline constexpr uint32_t kExposureA = 158;  // and 159
inline constexpr uint32_t kExposureB = 161;  // and 162
}  // namespace reg

}  // namespace sim
