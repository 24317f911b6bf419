// A pcap file of USB traffic in the usbmon memory-mapped format (64-byte headers, link type 220).
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/usb.h"

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

// The eight bytes of a control transfer's setup stage.
struct SetupPacket {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

// The two events of one URB, so that its submission and its completion agree on id, transfer type,
// endpoint and interval. Data goes where usbmon puts it: OUT data with the submission, IN data
// with the completion.
class TraceEventBuilder {
  public:
    static TraceEventBuilder Control(const void* urb, uint8_t endpoint, const SetupPacket& setup);
    static TraceEventBuilder Transfer(const void* urb, USBD_PIPE_TYPE type, uint8_t endpoint,
                                      int32_t interval);

    // `length` bytes asked for; `buffer` holds them when the transfer is OUT.
    TraceEvent Submission(uint32_t length, const uint8_t* buffer) const;
    // `moved` bytes moved; `buffer` holds them when the transfer is IN.
    TraceEvent Completion(USBD_STATUS status, uint32_t moved, const uint8_t* buffer) const;

  private:
    bool in() const { return (base_.endpoint & 0x80) != 0; }

    TraceEvent base_;
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
