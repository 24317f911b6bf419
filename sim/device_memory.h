// The camera's small read-only memory, read with the memory-read command. Its contents are a fixed
// function of the address so that a host's reads can be checked byte for byte.
#pragma once

#include <cstdint>

namespace sim {

inline constexpr uint32_t kDeviceMemorySize = 4096;
// What addresses beyond the memory read as, as an unpopulated bus would.
inline constexpr uint8_t kUnpopulatedByte = 0xFF;

constexpr uint8_t DeviceMemoryByte(uint32_t address) {
    if (address >= kDeviceMemorySize) {
        return kUnpopulatedByte;
    }
    return static_cast<uint8_t>((address * 37u + (address >> 8) * 11u + 0x5Bu) & 0xFFu);
}

}  // namespace sim
