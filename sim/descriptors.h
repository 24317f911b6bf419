// The camera's USB descriptors, well-formed or deliberately broken for tests of the host's
// configuration code.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

enum class HostileDescriptors {
    kNone,
    kExtraInterfaces,   // bNumInterfaces announces three, only interface 0 is present
    kTotalLengthShort,  // wTotalLength ends inside the first endpoint descriptor
    kTotalLengthLong,   // wTotalLength claims more bytes than the device returns
    kNoPipes,           // interface 0 has no endpoints
    kWrongPipeTypes,    // the endpoints are interrupt and isochronous, not bulk
};

std::vector<uint8_t> DeviceDescriptor();
std::vector<uint8_t> ConfigurationDescriptor(HostileDescriptors kind);

}  // namespace sim
