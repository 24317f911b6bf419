// A pcap file of USB traffic in the usbmon memory-mapped format (64-byte headers, link type 220).
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace platform::usb {

// usbmon transfer types, which are numbered unlike the endpoint descriptor's.
enum class TraceTransferType : uint8_t {
    kIsochronous = 0,
    kInterrupt = 1,
    kControl = 2,
    kBulk = 3
};

struct TraceEvent {
    uint64_t id = 0;  // the same for a submission and its completion
    char type = 'S';  // 'S' submission, 'C' completion
    TraceTransferType transfer_type = TraceTransferType::kBulk;
    uint8_t endpoint = 0;  // with 0x80 for IN
    bool has_setup = false;
    uint8_t setup[8] = {};
    int32_t status = 0;   // usbmon status: an errno value, negative
    uint32_t length = 0;  // requested at submission, moved at completion
    int32_t interval = 0;
    const uint8_t* data = nullptr;  // captured bytes
    uint32_t data_length = 0;
};

class PcapTrace {
  public:
    explicit PcapTrace(uint8_t device_number) : device_number_(device_number) {}
    ~PcapTrace() { Close(); }
    // Starts a new file; false when it cannot be created.
    bool Open(const std::string& path);
    // Ends the file; false when any write to it failed (a full disk, say), since the trace then
    // lacks transfers.
    bool Close();
    bool IsOpen();
    void Write(const TraceEvent& event);

    static constexpr uint32_t kSnapLength = 0x40000;

  private:
    // Caller holds mutex_ and the file is open.
    void WriteLocked(const void* data, size_t length);

    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    bool failed_ = false;
    uint8_t device_number_;
};

}  // namespace platform::usb
