#include "sim/register_frame.h"

namespace sim {

DecodedRegisterWrite DecodeRegisterWrite(const uint8_t* packet) {
    DecodedRegisterWrite result;
    result.bits = packet[1];
    const uint32_t word =
        static_cast<uint32_t>(packet[2]) | (static_cast<uint32_t>(packet[3]) << 8) |
        (static_cast<uint32_t>(packet[4]) << 16) | (static_cast<uint32_t>(packet[5]) << 24);
    result.number = word & 0x3FF;
    result.value = word >> 10;
    const uint8_t expected = RegisterFrameBits(result.number);
    if (result.bits != expected) {
        result.error = "register " + std::to_string(result.number) + " takes a " +
                       std::to_string(expected) + "-bit frame, got " + std::to_string(result.bits);
        return result;
    }
    // The sensor clocks in only `bits` bits; anything above them is a malformed frame.
    if (expected < 32 && (word >> expected) != 0) {
        result.error = "register " + std::to_string(result.number) + " frame has bits above bit " +
                       std::to_string(expected - 1);
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace sim
