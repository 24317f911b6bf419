// The host side of the USB bus stand-in.
#include "platform/usb_bus.h"
#include "port.h"

namespace platform {

PDEVICE_OBJECT UsbBusPlugIn(UsbDeviceModel* device) {
    usb::Port* port = usb::Port::Create(device);
    return port == nullptr ? nullptr : port->device();
}

void UsbBusUnplug(PDEVICE_OBJECT port) {
    if (port != nullptr)
        usb::Port::Destroy(usb::Port::FromDevice(port));
}

bool UsbBusSetTrace(PDEVICE_OBJECT port, const std::string& pcap_path) {
    return usb::Port::FromDevice(port)->SetTrace(pcap_path);
}

}  // namespace platform
