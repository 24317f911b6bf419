// A small scripted USB device behind the bus stand-in, configured on a port as a driver does.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ddk.h"
#include "platform/usb_bus.h"

namespace usbtest {

// Configuration 1: interface 0 with bulk OUT 0x01, bulk IN 0x81 and interrupt IN 0x83 (max packet
// 512, 512, 16), and interface 1 with one bulk IN 0x82.
std::vector<uint8_t> TwoInterfaceConfiguration();

class FakeDevice : public platform::UsbDeviceModel {
  public:
    void Attach(platform::UsbDeviceLink* device_link) override;
    bool GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                       std::vector<uint8_t>* out) override;
    bool SetConfiguration(uint8_t value) override;
    platform::UsbOutResult Out(uint8_t endpoint_address, const uint8_t* data,
                               uint32_t length) override;
    void InTransferQueued(uint8_t endpoint_address, uint32_t length) override;
    USBD_STATUS ResetPipe(uint8_t endpoint_address) override;
    uint32_t PortStatus() override { return port_status; }
    void ResetPort() override { port_resets++; }

    std::mutex lock;  // guards the records below that the bus thread writes
    platform::UsbDeviceLink* link = nullptr;
    std::vector<uint8_t> configuration = TwoInterfaceConfiguration();
    std::vector<uint8_t> configurations_set;
    std::vector<std::vector<uint8_t>> out_data;
    std::vector<uint8_t> pipes_reset;
    std::vector<uint32_t> in_queued;
    std::thread::id caller;  // the thread of the latest model call
    KIRQL caller_irql = 0;
    platform::UsbOutResult out_result{USBD_STATUS_SUCCESS, UINT32_MAX, false};
    uint32_t port_status = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
    std::atomic<int> port_resets{0};
    std::atomic<int> detaches{0};

  private:
    void Note();
};

// Plugs a fake device in, selects its configuration and keeps the pipes of both interfaces.
class ConfiguredPort {
  public:
    ConfiguredPort();
    ~ConfiguredPort();
    FakeDevice device;
    PDEVICE_OBJECT port = nullptr;
    PURB select = nullptr;
    PUSBD_INTERFACE_INFORMATION interface0 = nullptr;
    PUSBD_INTERFACE_INFORMATION interface1 = nullptr;
    USBD_PIPE_HANDLE out_pipe() const { return interface0->Pipes[0].PipeHandle; }
    USBD_PIPE_HANDLE in_pipe() const { return interface0->Pipes[1].PipeHandle; }
};

}  // namespace usbtest
