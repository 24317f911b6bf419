// A configured simulated camera on a fake link, and the host's side of the command packets.
#pragma once

#include <initializer_list>

#include "fake_link.h"
#include "sim/sim_camera.h"

namespace sim_test {

// A 64-byte packet starting with the given bytes, zero after them.
inline sim::Packet MakePacket(std::initializer_list<uint8_t> bytes) {
    sim::Packet packet{};
    size_t i = 0;
    for (uint8_t byte : bytes) {
        packet[i++] = byte;
    }
    return packet;
}

// The write packet the host builds for a sensor register.
inline sim::Packet RegisterPacket(uint32_t number, uint32_t value) {
    const uint32_t mask = number < 256 ? 0x3F : number < 384 ? 0xFFFF : 0x3FFFFF;
    const uint8_t bits = number < 256 ? 16 : number < 384 ? 26 : 32;
    const uint32_t word = ((value & mask) << 10) + (number & 0x3FF);
    return MakePacket({0x04, bits, static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                       static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)});
}

struct CameraHarness {
    FakeLink link;  // outlives the camera and its sender thread
    sim::SimCamera camera;

    CameraHarness() {
        camera.Attach(&link);
        camera.SetConfiguration(1);
        camera.SetLinkSpeed(0);
    }
    ~CameraHarness() { camera.Attach(nullptr); }

    platform::UsbOutResult Send(const sim::Packet& packet) {
        return camera.Out(sim::kCommandEndpoint, packet.data(), sim::kPacketSize);
    }
    void WriteRegister(uint32_t number, uint32_t value) { Send(RegisterPacket(number, value)); }
    void SetItem(uint8_t item, uint8_t value) { Send(MakePacket({0x25, item, value})); }
    void SetExposure(uint32_t value) {
        WriteRegister(158, value & 0x3F);
        WriteRegister(159, (value >> 6) & 0x3F);
        WriteRegister(161, value & 0x3F);
        WriteRegister(162, (value >> 6) & 0x3F);
    }
    void SetGain(uint32_t value) {
        WriteRegister(6, value & 0x3F);
        WriteRegister(7, (value >> 6) & 0x0F);
    }
    void AnnounceFrameSize(uint32_t size) {
        for (uint8_t i = 0; i < 4; ++i) {
            SetItem(i, static_cast<uint8_t>(size >> (8 * i)));
        }
    }
    // Frame request, arm and go, as the host sends them for each frame.
    void RequestFrame() {
        Send(MakePacket({0x02}));
        Send(MakePacket({0x02}));
        Send(MakePacket({0x03}));
    }
};

}  // namespace sim_test
