#include "sim/register_frame.h"

#include "sim/protocol.h"

namespace sim {

DecodedRegisterWrite DecodeRegisterWrite(const uint8_t* packet) {
    DecodedRegisterWrite result;
    result.bits = packet[kFrameBitsByte];
    const uint8_t* bytes = packet + kFrameWordByte;
    const uint32_t word = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                          (static_cast<uint32_t>(bytes[2]) << 16) |
                          (static_cast<uint32_t>(bytes[3]) << 24);
    result.number = word & kRegisterNumberMask;
    result.value = word >> kRegisterNumberBits;
    const uint8_t expected = RegisterFrameBits(result.number);
    if (result.bits != expected) {
        result.error = "register " + std::to_string(result.number) + " takes a " +
                       std::to_string(expected) + "-bit frame, got " + std::to_string(result.bits);
        return result;
    }
    // The sensor clocks in only `bits` bits; anything above them is a malformed frame.
    if (expected < 8 * sizeof(word) && (word >> expected) != 0) {
        result.error = "register " + std::to_string(result.number) + " frame has bits above bit " +
                       std::to_string(expected - 1);
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace sim
