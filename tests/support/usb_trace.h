// A USB trace of a camctl run as tshark decodes it: the command packets the camera received, in
// order, and the register writes among them.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/camctl_runner.h"

namespace camtest {

using PacketBytes = std::vector<uint8_t>;

// The 64-byte packets sent to the command endpoint; *ok is false when tshark did not decode the
// trace or found it malformed.
inline std::vector<PacketBytes> TraceCommandPackets(const ScratchDir& dir, const std::string& trace,
                                                    bool* ok) {
    const CamctlResult all = RunInFolder(dir, "tshark -r '" + trace + "'");
    const CamctlResult fields = RunInFolder(
        dir, "tshark -r '" + trace +
                 "' -Y 'usb.endpoint_address == 0x01 && usb.urb_type == 83 && usb.data_len == 64'"
                 " -T fields -e usb.capdata");
    *ok = all.status == 0 && fields.status == 0 && all.out.find("Malformed") == std::string::npos;
    std::vector<PacketBytes> packets;
    size_t start = 0;
    while (start < fields.out.size()) {
        size_t end = fields.out.find('\n', start);
        if (end == std::string::npos)
            end = fields.out.size();
        std::string hex;
        for (char c : fields.out.substr(start, end - start)) {
            if (std::isxdigit((unsigned char)c))
                hex += c;
        }
        start = end + 1;
        if (hex.size() != 128)
            continue;
        PacketBytes packet;
        for (size_t i = 0; i < hex.size(); i += 2)
            packet.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
        packets.push_back(packet);
    }
    return packets;
}

struct RegisterWrite {
    uint32_t number;
    uint32_t value;  // as the wire carries it, cut to the register's width
    bool operator==(const RegisterWrite&) const = default;
};

// The register writes (command 0x04) among the packets, in order.
inline std::vector<RegisterWrite> RegisterWrites(const std::vector<PacketBytes>& packets) {
    std::vector<RegisterWrite> writes;
    for (const PacketBytes& p : packets) {
        if (p[0] != 0x04)
            continue;
        const uint32_t word = p[2] | p[3] << 8 | p[4] << 16 | (uint32_t)p[5] << 24;
        const uint32_t value_bits = p[1] - 10u;
        writes.push_back({word & 0x3FF, (word >> 10) & ((1u << value_bits) - 1)});
    }
    return writes;
}

}  // namespace camtest
