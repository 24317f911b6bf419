#include "pcap_trace.h"

#include <chrono>
#include <cstring>

namespace platform::usb {
namespace {

constexpr uint32_t kPcapMagic = 0xa1b2c3d4;
constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr size_t kUsbmonHeaderSize = 64;
constexpr uint16_t kBusNumber = 1;
constexpr int32_t kInProgress = -115;  // usbmon's status of a submission: -EINPROGRESS

template <typename T>
void Put(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof(T));
}

// usbmon reports how a transfer ended as the negative errno the host controller driver gives.
int32_t UsbmonStatus(USBD_STATUS status) {
    if (USBD_SUCCESS(status))
        return 0;
    switch (status) {
        case USBD_STATUS_CANCELED:
            return -2;  // ENOENT: unlinked
        case USBD_STATUS_DEVICE_GONE:
            return -108;  // ESHUTDOWN
        case USBD_STATUS_STALL_PID:
        case USBD_STATUS_ENDPOINT_HALTED:
            return -32;  // EPIPE
        case USBD_STATUS_ERROR_SHORT_TRANSFER:
            return -121;  // EREMOTEIO
        case USBD_STATUS_DATA_OVERRUN:
        case USBD_STATUS_BUFFER_OVERRUN:
        case USBD_STATUS_BABBLE_DETECTED:
            return -75;  // EOVERFLOW
        case USBD_STATUS_DEV_NOT_RESPONDING:
            return -62;  // ETIME
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INVALID_URB_FUNCTION:
            return -22;  // EINVAL
        default:
            return -71;  // EPROTO
    }
}

TraceTransferType UsbmonTransferType(USBD_PIPE_TYPE type) {
    switch (type) {
        case UsbdPipeTypeControl:
            return TraceTransferType::kControl;
        case UsbdPipeTypeIsochronous:
            return TraceTransferType::kIsochronous;
        case UsbdPipeTypeInterrupt:
            return TraceTransferType::kInterrupt;
        default:
            return TraceTransferType::kBulk;
    }
}

}  // namespace

TraceEventBuilder TraceEventBuilder::Control(const void* urb, uint8_t endpoint,
                                             const SetupPacket& setup) {
    TraceEventBuilder builder;
    builder.base_.id = (uint64_t)(uintptr_t)urb;
    builder.base_.transfer_type = TraceTransferType::kControl;
    builder.base_.endpoint = endpoint;
    builder.base_.has_setup = true;
    // Little-endian, as on the wire.
    uint8_t* bytes = builder.base_.setup;
    bytes[0] = setup.request_type;
    bytes[1] = setup.request;
    Put<uint16_t>(bytes + 2, setup.value);
    Put<uint16_t>(bytes + 4, setup.index);
    Put<uint16_t>(bytes + 6, setup.length);
    return builder;
}

TraceEventBuilder TraceEventBuilder::Transfer(const void* urb, USBD_PIPE_TYPE type,
                                              uint8_t endpoint, int32_t interval) {
    TraceEventBuilder builder;
    builder.base_.id = (uint64_t)(uintptr_t)urb;
    builder.base_.transfer_type = UsbmonTransferType(type);
    builder.base_.endpoint = endpoint;
    builder.base_.interval = interval;
    return builder;
}

TraceEvent TraceEventBuilder::Submission(uint32_t length, const uint8_t* buffer) const {
    TraceEvent event = base_;
    event.type = 'S';
    event.status = kInProgress;
    event.length = length;
    if (!in()) {
        event.data = buffer;
        event.data_length = length;
    }
    return event;
}

TraceEvent TraceEventBuilder::Completion(USBD_STATUS status, uint32_t moved,
                                         const uint8_t* buffer) const {
    TraceEvent event = base_;
    event.type = 'C';
    event.has_setup = false;  // the setup stage went with the submission
    event.status = UsbmonStatus(status);
    event.length = moved;
    if (in()) {
        event.data = buffer;
        event.data_length = moved;
    }
    return event;
}

bool PcapTrace::Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr)
        std::fclose(file_);
    failed_ = false;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr)
        return false;
    uint8_t header[24] = {};
    Put<uint32_t>(header + 0, kPcapMagic);
    Put<uint16_t>(header + 4, 2);
    Put<uint16_t>(header + 6, 4);
    Put<uint32_t>(header + 16, kSnapLength);
    Put<uint32_t>(header + 20, kLinkTypeUsbLinuxMmapped);
    WriteLocked(header, sizeof(header));
    return true;
}

bool PcapTrace::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    bool ok = !failed_;
    if (file_ != nullptr && std::fclose(file_) != 0)
        ok = false;
    file_ = nullptr;
    failed_ = false;
    return ok;
}

void PcapTrace::WriteLocked(const void* data, size_t length) {
    if (std::fwrite(data, 1, length, file_) != length)
        failed_ = true;
}

bool PcapTrace::IsOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_ != nullptr;
}

void PcapTrace::Write(const TraceEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr)
        return;
    uint32_t captured = event.data_length;
    if (captured > kSnapLength - kUsbmonHeaderSize)
        captured = kSnapLength - kUsbmonHeaderSize;

    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    int64_t seconds = micros / 1000000;
    int32_t microseconds = (int32_t)(micros % 1000000);

    uint8_t record[16] = {};
    Put<uint32_t>(record + 0, (uint32_t)seconds);
    Put<uint32_t>(record + 4, (uint32_t)microseconds);
    Put<uint32_t>(record + 8, (uint32_t)(kUsbmonHeaderSize + captured));
    Put<uint32_t>(record + 12, (uint32_t)(kUsbmonHeaderSize + captured));

    bool in = (event.endpoint & 0x80) != 0;
    uint8_t header[kUsbmonHeaderSize] = {};
    Put<uint64_t>(header + 0, event.id);
    header[8] = (uint8_t)event.type;
    header[9] = (uint8_t)event.transfer_type;
    header[10] = event.endpoint;
    header[11] = device_number_;
    Put<uint16_t>(header + 12, kBusNumber);
    header[14] = event.has_setup ? 0 : '-';
    // 0 says data follows; otherwise why there is none: IN data comes with the completion, OUT
    // data went with the submission.
    header[15] = captured != 0 ? 0 : (in ? '<' : '>');
    Put<int64_t>(header + 16, seconds);
    Put<int32_t>(header + 24, microseconds);
    Put<int32_t>(header + 28, event.status);
    Put<uint32_t>(header + 32, event.length);
    Put<uint32_t>(header + 36, captured);
    if (event.has_setup)
        std::memcpy(header + 40, event.setup, 8);
    Put<int32_t>(header + 48, event.interval);
    Put<int32_t>(header + 52, 0);
    Put<uint32_t>(header + 56, in ? 0x200u : 0u);  // URB_DIR_IN
    Put<uint32_t>(header + 60, 0);

    WriteLocked(record, sizeof(record));
    WriteLocked(header, sizeof(header));
    if (captured != 0)
        WriteLocked(event.data, captured);
}

}  // namespace platform::usb
