// The serial frame of a sensor register write (command 0x04): packet byte 1 is the frame's length
// in bits, bytes 2..5 the frame word, least significant byte first; the register number sits in
// bits 0..9 and the value above it.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// Frame length in bits of the register class a register number belongs to.
constexpr uint8_t RegisterFrameBits(uint32_t number) {
    return number < 256 ? 16 : number < 384 ? 26 : 32;
}

struct DecodedRegisterWrite {
    bool ok = false;
    uint32_t number = 0;
    uint32_t value = 0;
    uint8_t bits = 0;
    std::string error;  // why the write is refused when !ok
};

// Decodes bytes 1..5 of a 0x04 packet.
DecodedRegisterWrite DecodeRegisterWrite(const uint8_t* packet);

}  // namespace sim
