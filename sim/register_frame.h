// The serial frame of a sensor register write: packet byte 1 is the frame's length in bits, bytes
// 2..5 the frame word, least significant byte first; the register number sits in the word's low
// bits and the value above it.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct DecodedRegisterWrite {
    bool ok = false;
    uint32_t number = 0;
    uint32_t value = 0;
    uint8_t bits = 0;
    std::string error;  // why the write is refused when !ok
};

// Decodes a register write packet.
DecodedRegisterWrite DecodeRegisterWrite(const uint8_t* packet);

}  // namespace sim
