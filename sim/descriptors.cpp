#include "sim/descriptors.h"

#include "platform/usb.h"

namespace sim {

namespace {

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
    out.push_back(type == USB_ENDPOINT_TYPE_BULK ? 0 : 1);
}

}  // namespace

std::vector<uint8_t> DeviceDescriptor() {
    std::vector<uint8_t> out;
    out.push_back(sizeof(USB_DEVICE_DESCRIPTOR));
    out.push_back(USB_DEVICE_DESCRIPTOR_TYPE);
    Put16(out, 0x0200);   // USB 2.0
    out.push_back(0x00);  // class per interface
    out.push_back(0x00);
    out.push_back(0x00);
    out.push_back(64);  // control endpoint packet size
    Put16(out, kVendorId);
    Put16(out, kProductId);
    Put16(out, 0x0100);  // device release 1.00
    out.push_back(0);    // no strings
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
    out.push_back(kind == HostileDescriptors::kExtraInterfaces ? 3 : 1);
    out.push_back(1);     // bConfigurationValue
    out.push_back(0);     // no string
    out.push_back(0x80);  // bus powered
    out.push_back(250);   // 500 mA

    out.push_back(sizeof(USB_INTERFACE_DESCRIPTOR));
    out.push_back(USB_INTERFACE_DESCRIPTOR_TYPE);
    out.push_back(0);  // interface 0
    out.push_back(0);  // alternate setting 0
    out.push_back(no_pipes ? 0 : 3);
    out.push_back(0xFF);  // vendor class
    out.push_back(0x00);
    out.push_back(0x00);
    out.push_back(0);

    if (kind == HostileDescriptors::kWrongPipeTypes) {
        Endpoint(out, 0x01, USB_ENDPOINT_TYPE_INTERRUPT, kMaxPacket);
        Endpoint(out, 0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, 1024);
        Endpoint(out, 0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 1024);
    } else if (!no_pipes) {
        Endpoint(out, 0x01, USB_ENDPOINT_TYPE_BULK, kMaxPacket);
        Endpoint(out, 0x81, USB_ENDPOINT_TYPE_BULK, kMaxPacket);
        Endpoint(out, 0x82, USB_ENDPOINT_TYPE_BULK, kMaxPacket);
    }

    uint16_t total = static_cast<uint16_t>(out.size());
    if (kind == HostileDescriptors::kTotalLengthShort) {
        // Cuts the first endpoint descriptor in two.
        total = sizeof(USB_CONFIGURATION_DESCRIPTOR) + sizeof(USB_INTERFACE_DESCRIPTOR) + 3;
    } else if (kind == HostileDescriptors::kTotalLengthLong) {
        total = static_cast<uint16_t>(total + 64);
    }
    out[2] = static_cast<uint8_t>(total & 0xFF);
    out[3] = static_cast<uint8_t>(total >> 8);
    return out;
}

}  // namespace sim
