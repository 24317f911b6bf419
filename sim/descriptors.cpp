#include "sim/descriptors.h"

#include "platform/usb.h"
#include "sim/protocol.h"

namespace sim {

namespace {

// Sizes the hostile descriptors announce in place of the camera's own.
constexpr uint8_t kExtraInterfaceCount = 3;
constexpr uint16_t kIsochronousPacket = 1024;
constexpr uint16_t kTotalLengthExcess = 64;
constexpr uint16_t kEndpointBytesKept = 3;  // of the first endpoint descriptor, when cut short

void Put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Endpoint(std::vector<uint8_t>& out, uint8_t address, uint8_t type, uint16_t max_packet) {
    out.push_back(sizeof(USB_ENDPOINT_DESCRIPTOR));
    out.push_back(USB_ENDPOINT_DESCRIPTOR_TYPE);
    out.push_back(address);
    out.push_back(type);
    Put16(out, max_packet);
    out.push_back(type == USB_ENDPOINT_TYPE_BULK ? 0 : 1);  // bInterval
}

void Interface(std::vector<uint8_t>& out, uint8_t endpoints) {
    out.push_back(sizeof(USB_INTERFACE_DESCRIPTOR));
    out.push_back(USB_INTERFACE_DESCRIPTOR_TYPE);
    out.push_back(kInterfaceNumber);
    out.push_back(0);  // alternate setting
    out.push_back(endpoints);
    out.push_back(kVendorClass);
    out.push_back(0x00);  // subclass
    out.push_back(0x00);  // protocol
    out.push_back(0);     // no string
}

}  // namespace

std::vector<uint8_t> DeviceDescriptor() {
    std::vector<uint8_t> out;
    out.push_back(sizeof(USB_DEVICE_DESCRIPTOR));
    out.push_back(USB_DEVICE_DESCRIPTOR_TYPE);
    Put16(out, kUsbRelease);
    out.push_back(0x00);  // class per interface
    out.push_back(0x00);
    out.push_back(0x00);
    out.push_back(kControlPacket);
    Put16(out, kVendorId);
    Put16(out, kProductId);
    Put16(out, kDeviceRelease);
    out.push_back(0);  // no strings
    out.push_back(0);
    out.push_back(0);
    out.push_back(1);  // one configuration
    return out;
}

std::vector<uint8_t> ConfigurationDescriptor(HostileDescriptors kind) {
    const bool no_pipes = kind == HostileDescriptors::kNoPipes;
    std::vector<uint8_t> out;
    out.push_back(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    out.push_back(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    Put16(out, 0);  // wTotalLength, filled in below
    out.push_back(kind == HostileDescriptors::kExtraInterfaces ? kExtraInterfaceCount : 1);
    out.push_back(kConfigurationValue);
    out.push_back(0);  // no string
    out.push_back(kBusPowered);
    out.push_back(kMaxPower);
    Interface(out, no_pipes ? 0 : kEndpointCount);

    if (kind == HostileDescriptors::kWrongPipeTypes) {
        Endpoint(out, kCommandEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, kMaxPacket);
        Endpoint(out, kReplyEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS, kIsochronousPacket);
        Endpoint(out, kFrameEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS, kIsochronousPacket);
    } else if (!no_pipes) {
        for (uint8_t address : {kCommandEndpoint, kReplyEndpoint, kFrameEndpoint}) {
            Endpoint(out, address, USB_ENDPOINT_TYPE_BULK, kMaxPacket);
        }
    }

    uint16_t total = static_cast<uint16_t>(out.size());
    if (kind == HostileDescriptors::kTotalLengthShort) {
        total = sizeof(USB_CONFIGURATION_DESCRIPTOR) + sizeof(USB_INTERFACE_DESCRIPTOR) +
                kEndpointBytesKept;
    } else if (kind == HostileDescriptors::kTotalLengthLong) {
        total = static_cast<uint16_t>(total + kTotalLengthExcess);
    }
    out[2] = static_cast<uint8_t>(total & 0xFF);
    out[3] = static_cast<uint8_t>(total >> 8);
    return out;
}

}  // namespace sim
