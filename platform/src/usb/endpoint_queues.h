// The port's endpoints: the transfers pending on each, the IN data the device sent ahead of them,
// and the pipe handles of the current configuration. Only the bus thread changes them; any thread
// may count the pending transfers.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "completion.h"
#include "pcap_trace.h"
#include "platform/usb.h"

namespace platform::usb {

// A bulk or interrupt transfer that the bus took up.
struct Transfer {
    PIRP irp;
    PURB urb;
    uint8_t* buffer;
    ULONG length;
    ULONG moved;
    bool short_ok;
    TraceEventBuilder trace;
};

// What a pipe handle leads to.
struct PipeTarget {
    uint8_t address = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    UCHAR interval = 0;
};

class EndpointQueues {
  public:
    // The endpoint behind a pipe handle of the current configuration.
    std::optional<PipeTarget> FindPipe(PVOID handle);
    size_t PendingCount(uint8_t address);

    // A new configuration starts every endpoint afresh: whatever was pending ends cancelled, data
    // sent ahead is dropped and only the new pipes' handles stay valid.
    void Reconfigure(const std::vector<PUSBD_PIPE_INFORMATION>& pipes, Completions& done);
    // A transfer that waits: IN for its data, or OUT that the device never takes.
    void Add(uint8_t address, const Transfer& transfer);
    // Data from the device, or an error for the next transfer; fills what is pending.
    void Deliver(uint8_t address, bool failure, USBD_STATUS status, std::vector<uint8_t> data,
                 Completions& done);
    // Moves data sent ahead into the pending transfers.
    void Pump(uint8_t address, Completions& done);
    // Drops the data no transfer has taken yet; errors still wait for their transfer.
    void Flush(uint8_t address);
    void EndPending(uint8_t address, NTSTATUS status, USBD_STATUS urb_status, Completions& done);
    void EndAllPending(NTSTATUS status, USBD_STATUS urb_status, Completions& done);
    // Takes a pending transfer out of its queue, cancelled; nothing when none is the request's.
    std::optional<Completion> Cancel(PIRP irp);

    static Completion Finish(const Transfer& transfer, NTSTATUS status, USBD_STATUS urb_status);

  private:
    struct InChunk {
        bool failure = false;
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        std::vector<uint8_t> data;
        size_t offset = 0;
    };
    struct Endpoint {
        USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
        USHORT max_packet = 512;
        UCHAR interval = 0;
        std::deque<Transfer> pending;
        std::deque<InChunk> in_data;
    };

    // With mutex_ held. Take copies from the first chunk sent ahead into the transfer and tells
    // whether that ended the chunk with a short packet.
    static bool Take(Endpoint& endpoint, Transfer& transfer);
    static void PumpLocked(Endpoint& endpoint, Completions& done);
    static void EndLocked(Endpoint& endpoint, NTSTATUS status, USBD_STATUS urb_status,
                          Completions& done);

    std::mutex mutex_;  // guards everything below
    std::map<uint8_t, Endpoint> endpoints_;
    std::map<uintptr_t, uint8_t> pipes_;  // pipe handle to endpoint address
};

}  // namespace platform::usb
