#include "fake_device.h"

#include <gtest/gtest.h>

#include "tests/support/urb_requests.h"

namespace usbtest {

std::vector<uint8_t> TwoInterfaceConfiguration() {
    std::vector<uint8_t> d = {
        9, 2, 0,    0,    2,    1,    0,    0x80, 50,  // configuration 1, two interfaces
        9, 4, 0,    0,    3,    0xFF, 0x01, 0x02, 0,   // interface 0: three endpoints
        7, 5, 0x01, 0x02, 0x00, 0x02, 0,               // bulk OUT 0x01, 512
        7, 5, 0x81, 0x02, 0x00, 0x02, 0,               // bulk IN 0x81, 512
        7, 5, 0x83, 0x03, 0x10, 0x00, 4,               // interrupt IN 0x83, 16, interval 4
        9, 4, 1,    0,    1,    0x0A, 0x00, 0x00, 0,   // interface 1: one endpoint
        7, 5, 0x82, 0x02, 0x00, 0x02, 0,               // bulk IN 0x82, 512
    };
    d[2] = (uint8_t)d.size();
    d[3] = (uint8_t)(d.size() >> 8);
    return d;
}

void FakeDevice::Note() {
    caller = std::this_thread::get_id();
    caller_irql = KeGetCurrentIrql();
}

void FakeDevice::Attach(platform::UsbDeviceLink* device_link) {
    std::lock_guard<std::mutex> guard(lock);
    Note();
    link = device_link;
    if (device_link == nullptr)
        detaches++;
}

bool FakeDevice::GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                               std::vector<uint8_t>* out) {
    std::lock_guard<std::mutex> guard(lock);
    Note();
    if (index != 0 || language != 0)
        return false;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
        *out = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0, 1};
        return true;
    }
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        *out = configuration;
        return true;
    }
    return false;
}

bool FakeDevice::SetConfiguration(uint8_t value) {
    std::lock_guard<std::mutex> guard(lock);
    Note();
    configurations_set.push_back(value);
    return value == 0 || value == 1;
}

platform::UsbOutResult FakeDevice::Out(uint8_t, const uint8_t* data, uint32_t length) {
    std::lock_guard<std::mutex> guard(lock);
    Note();
    out_data.emplace_back(data, data + length);
    return out_result;
}

void FakeDevice::InTransferQueued(uint8_t, uint32_t length) {
    std::lock_guard<std::mutex> guard(lock);
    Note();
    in_queued.push_back(length);
}

USBD_STATUS FakeDevice::ResetPipe(uint8_t endpoint_address) {
    std::lock_guard<std::mutex> guard(lock);
    Note();
    pipes_reset.push_back(endpoint_address);
    return endpoint_address == 0x83 ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
}

ConfiguredPort::ConfiguredPort() {
    port = platform::UsbBusPlugIn(&device);
    auto* configuration =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device.configuration.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, 0, -1, -1, -1);
    select = USBD_CreateConfigurationRequestEx(configuration, list);
    EXPECT_EQ(camtest::SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, select), STATUS_SUCCESS);
    interface0 = list[0].Interface;
    interface1 = list[1].Interface;
}

ConfiguredPort::~ConfiguredPort() {
    platform::UsbBusUnplug(port);
    ExFreePool(select);
}

}  // namespace usbtest
