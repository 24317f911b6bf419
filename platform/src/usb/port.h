// One port of the USB bus stand-in: the device object the driver sends URBs to, the bus thread
// that serves them, and the completion of each request.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "../kernel/kernel_thread.h"
#include "completion.h"
#include "endpoint_queues.h"
#include "pcap_trace.h"
#include "platform/usb.h"
#include "platform/usb_bus.h"
#include "urb_dispatch.h"

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

    Port(UsbDeviceModel* model, PDEVICE_OBJECT device, PDRIVER_OBJECT driver);
    void Run();
    void Post(Command command);
    void Process(Command& command, Completions& done);
    void Cancel(PIRP irp);
    void Complete(Completion& completion, bool cancel_routine_cleared);

    UsbDeviceModel* model_;
    PDEVICE_OBJECT device_;
    PDRIVER_OBJECT driver_;
    PcapTrace trace_;
    EndpointQueues queues_;
    UrbDispatch dispatch_;
    platform::kernel::KernelThread thread_;

    std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::deque<Command> queue_;
    bool gone_ = false;
    bool attached_ = false;
    // Requests whose cancel routine ran before the bus could complete them; they end when the
    // cancel reaches the bus thread.
    std::map<PIRP, Completion> awaiting_cancel_;
};

}  // namespace platform::usb
