// One port of the USB bus stand-in: the device object the driver sends URBs to, the bus thread
// that serves them, and the device model behind it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pcap_trace.h"
#include "platform/usb.h"
#include "platform/usb_bus.h"

namespace platform::usb {

class Port final : public UsbDeviceLink {
  public:
    // Creates the device object and the bus thread and attaches the model.
    static Port* Create(UsbDeviceModel* model);
    static Port* FromDevice(PDEVICE_OBJECT device);
    // Completes everything pending, detaches the model and frees the device object and the port.
    static void Destroy(Port* port);

    PDEVICE_OBJECT device() const { return device_; }
    bool SetTrace(const std::string& path);

    void SendIn(uint8_t endpoint_address, const uint8_t* data, uint32_t length) override;
    void FailIn(uint8_t endpoint_address, USBD_STATUS status) override;
    void FlushIn(uint8_t endpoint_address) override;
    size_t PendingInTransfers(uint8_t endpoint_address) override;

    NTSTATUS Dispatch(PIRP irp);
    void QueueCancel(PIRP irp);

  private:
    enum class CommandKind { kSubmit, kCancel, kSendIn, kFailIn, kFlushIn, kStop };
    struct Command {
        explicit Command(CommandKind command_kind) : kind(command_kind) {}
        CommandKind kind;
        PIRP irp = nullptr;
        uint8_t endpoint = 0;
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        std::vector<uint8_t> data;
    };
    // How a request ends, prepared on the bus thread and carried out by Complete.
    struct Completion {
        PIRP irp = nullptr;
        PURB urb = nullptr;
        NTSTATUS status = STATUS_SUCCESS;
        USBD_STATUS urb_status = USBD_STATUS_SUCCESS;
        ULONG* transferred = nullptr;  // the URB's length field, when the request moves data
        ULONG transferred_value = 0;
        bool traced = false;
        TraceEvent trace;
    };
    struct Transfer {
        PIRP irp;
        PURB urb;
        uint8_t* buffer;
        ULONG length;
        ULONG moved;
        bool short_ok;
    };
    // IN data the device sent that no transfer has taken yet, or an error for the next transfer.
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
    using Completions = std::vector<Completion>;

    Port(UsbDeviceModel* model, PDEVICE_OBJECT device, PDRIVER_OBJECT driver);
    void Run();
    void Post(Command command);
    void Process(Command& command, Completions& done);
    void ProcessSubmit(PIRP irp, Completions& done);
    void ProcessUrb(PIRP irp, PURB urb, Completions& done);
    void SelectConfiguration(PIRP irp, PURB urb, Completions& done);
    void GetDescriptor(PIRP irp, PURB urb, Completions& done);
    void BulkTransfer(PIRP irp, PURB urb, Completions& done);
    void ProcessCancel(PIRP irp, Completions& done);
    // With mutex_ held: moves queued IN data into pending transfers.
    void Pump(uint8_t address, Endpoint& endpoint, Completions& done);
    // With mutex_ held: ends every pending transfer of an endpoint.
    void EndPending(Endpoint& endpoint, uint8_t address, NTSTATUS status, USBD_STATUS urb_status,
                    Completions& done);
    Completion FinishTransfer(const Transfer& transfer, uint8_t address, NTSTATUS status,
                              USBD_STATUS urb_status);
    bool FindPipe(PVOID handle, uint8_t* address);
    void Complete(Completion& completion, bool cancel_routine_cleared);
    void Trace(TraceEvent event);

    UsbDeviceModel* model_;
    PDEVICE_OBJECT device_;
    PDRIVER_OBJECT driver_;
    PcapTrace trace_;
    std::thread thread_;

    std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::deque<Command> queue_;
    bool gone_ = false;
    bool attached_ = false;
    std::map<uint8_t, Endpoint> endpoints_;
    std::map<uintptr_t, uint8_t> pipes_;  // pipe handle to endpoint address
    // Requests whose cancel routine ran before the bus could complete them; they end when the
    // cancel reaches the bus thread.
    std::map<PIRP, Completion> awaiting_cancel_;
};

}  // namespace platform::usb
