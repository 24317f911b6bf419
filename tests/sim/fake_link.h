// A stand-in for the bus's side of a port: records what the camera sends, fails and flushes, in
// order, so tests can play the bus from one thread while the camera's sender runs on its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "platform/usb_bus.h"

namespace sim_test {

struct LinkEvent {
    enum Kind { kSend, kFail, kFlush };
    Kind kind = kSend;
    uint8_t endpoint = 0;
    std::vector<uint8_t> data;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
};

class FakeLink : public platform::UsbDeviceLink {
  public:
    void SendIn(uint8_t endpoint_address, const uint8_t* data, uint32_t length) override;
    void FailIn(uint8_t endpoint_address, USBD_STATUS status) override;
    void FlushIn(uint8_t endpoint_address) override;
    size_t PendingInTransfers(uint8_t endpoint_address) override;

    void SetPending(uint8_t endpoint_address, size_t count);
    std::vector<LinkEvent> Events() const;
    // Events on one endpoint, of one kind.
    std::vector<LinkEvent> Events(uint8_t endpoint_address, LinkEvent::Kind kind) const;
    // Bytes sent on the endpoint since its last flush.
    std::vector<uint8_t> Data(uint8_t endpoint_address) const;
    // Waits until Data(endpoint) holds at least `bytes` bytes.
    bool WaitForData(uint8_t endpoint_address, size_t bytes, int timeout_ms) const;
    void Clear();

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<LinkEvent> events_;
    std::map<uint8_t, std::vector<uint8_t>> data_;
    std::map<uint8_t, size_t> pending_;
};

}  // namespace sim_test
