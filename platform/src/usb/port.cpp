#include "port.h"

#include <atomic>

#include "platform/verifier.h"
#include "usb_internal.h"

namespace platform::usb {
namespace {

std::atomic<uint8_t> next_device_number{1};

NTSTATUS NTAPI UnsupportedDispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS NTAPI PortDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return Port::FromDevice(device)->Dispatch(irp);
}

VOID NTAPI PortCancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Port::FromDevice(device)->QueueCancel(irp);
}

thread_local Port* current_bus_thread = nullptr;

}  // namespace

Port::Port(UsbDeviceModel* model, PDEVICE_OBJECT device, PDRIVER_OBJECT driver)
    : model_(model),
      device_(device),
      driver_(driver),
      trace_(next_device_number.fetch_add(1) % 127 + 1),
      dispatch_(model, trace_, queues_) {}

Port* Port::Create(UsbDeviceModel* model) {
    auto pool = (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION);
    auto* driver =
        static_cast<PDRIVER_OBJECT>(ExAllocatePoolWithTag(pool, sizeof(DRIVER_OBJECT), kPortTag));
    auto* device =
        static_cast<PDEVICE_OBJECT>(ExAllocatePoolWithTag(pool, sizeof(DEVICE_OBJECT), kPortTag));
    if (driver == nullptr || device == nullptr) {
        if (driver != nullptr)
            ExFreePoolWithTag(driver, kPortTag);
        if (device != nullptr)
            ExFreePoolWithTag(device, kPortTag);
        return nullptr;
    }
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction)
        dispatch = UnsupportedDispatch;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PortDispatch;
    driver->DeviceObject = device;
    device->Type = 3;  // a device object
    device->Size = sizeof(DEVICE_OBJECT);
    device->DriverObject = driver;
    device->DeviceType = FILE_DEVICE_USB;
    device->StackSize = 1;

    auto* port = new Port(model, device, driver);
    device->DeviceExtension = port;
    if (!port->thread_.Start([port] { port->Run(); }))
        platform::verifier::Violation("no thread could be started for a USB port");
    std::unique_lock<std::mutex> lock(port->mutex_);
    port->wake_.wait(lock, [port] { return port->attached_; });
    return port;
}

Port* Port::FromDevice(PDEVICE_OBJECT device) {
    return static_cast<Port*>(device->DeviceExtension);
}

void Port::Destroy(Port* port) {
    if (current_bus_thread == port) {
        platform::verifier::Violation("UsbBusUnplug called from the port's own bus thread");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(port->mutex_);
        port->gone_ = true;
    }
    port->Post(Command{CommandKind::kStop});
    port->thread_.Join();
    port->trace_.Close();
    ExFreePoolWithTag(port->device_, kPortTag);
    ExFreePoolWithTag(port->driver_, kPortTag);
    delete port;
}

bool Port::SetTrace(const std::string& path) {
    if (path.empty())
        return trace_.Close();
    return trace_.Open(path);
}

void Port::Post(Command command) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(command));
    wake_.notify_all();
}

void Port::SendIn(uint8_t endpoint_address, const uint8_t* data, uint32_t length) {
    Command command{CommandKind::kSendIn};
    command.endpoint = endpoint_address;
    command.data.assign(data, data + length);
    Post(std::move(command));
}

void Port::FailIn(uint8_t endpoint_address, USBD_STATUS status) {
    Command command{CommandKind::kFailIn};
    command.endpoint = endpoint_address;
    command.status = status;
    Post(std::move(command));
}

void Port::FlushIn(uint8_t endpoint_address) {
    Command command{CommandKind::kFlushIn};
    command.endpoint = endpoint_address;
    Post(std::move(command));
}

size_t Port::PendingInTransfers(uint8_t endpoint_address) {
    return queues_.PendingCount(endpoint_address);
}

void Port::QueueCancel(PIRP irp) {
    Command command{CommandKind::kCancel};
    command.irp = irp;
    Post(std::move(command));
}

NTSTATUS Port::Dispatch(PIRP irp) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (gone_) {
        lock.unlock();
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            stack->Parameters.Others.Argument1 != nullptr) {
            static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Status =
                USBD_STATUS_DEVICE_GONE;
        }
        irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    // The cancel routine is set under the queue lock: a cancel can then reach the bus thread only
    // after the request itself.
    IoSetCancelRoutine(irp, PortCancel);
    // IoCancelIrp may be setting the flag on another thread right now.
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) &&
        IoSetCancelRoutine(irp, nullptr) != nullptr) {
        lock.unlock();
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(irp);
    Command command{CommandKind::kSubmit};
    command.irp = irp;
    queue_.push_back(std::move(command));
    wake_.notify_all();
    return STATUS_PENDING;
}

void Port::Run() {
    current_bus_thread = this;
    model_->Attach(this);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attached_ = true;
        wake_.notify_all();
    }
    bool stopping = false;
    for (;;) {
        Command command{CommandKind::kStop};
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock,
                       [&] { return !queue_.empty() || (stopping && awaiting_cancel_.empty()); });
            if (queue_.empty())
                break;
            command = std::move(queue_.front());
            queue_.pop_front();
        }
        if (command.kind == CommandKind::kStop)
            stopping = true;
        Completions done;
        Process(command, done);
        for (Completion& completion : done)
            Complete(completion, false);
    }
    model_->Attach(nullptr);
    current_bus_thread = nullptr;
}

void Port::Process(Command& command, Completions& done) {
    switch (command.kind) {
        case CommandKind::kSubmit:
            return dispatch_.Submit(command.irp, done);
        case CommandKind::kCancel:
            return Cancel(command.irp);
        case CommandKind::kSendIn:
        case CommandKind::kFailIn:
            return queues_.Deliver(command.endpoint, command.kind == CommandKind::kFailIn,
                                   command.status, std::move(command.data), done);
        case CommandKind::kFlushIn:
            return queues_.Flush(command.endpoint);
        case CommandKind::kStop:
            return queues_.EndAllPending(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE,
                                         done);
    }
}

void Port::Cancel(PIRP irp) {
    std::optional<Completion> completion = queues_.Cancel(irp);
    if (!completion) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = awaiting_cancel_.find(irp);
        if (found == awaiting_cancel_.end())
            return;
        completion = found->second;
        awaiting_cancel_.erase(found);
    }
    Complete(*completion, true);
}

void Port::Complete(Completion& completion, bool cancel_routine_cleared) {
    PIRP irp = completion.irp;
    if (!cancel_routine_cleared && IoSetCancelRoutine(irp, nullptr) == nullptr) {
        // Its cancel routine is running: the request ends when that cancel arrives.
        std::lock_guard<std::mutex> lock(mutex_);
        awaiting_cancel_[irp] = completion;
        return;
    }
    if (completion.urb != nullptr)
        completion.urb->UrbHeader.Status = completion.urb_status;
    if (completion.transferred != nullptr)
        *completion.transferred = completion.moved;
    if (completion.trace)
        trace_.Write(completion.trace->Completion(completion.urb_status, completion.moved,
                                                  completion.buffer));
    irp->IoStatus.Status = completion.status;
    irp->IoStatus.Information = 0;
    // Completion routines run as they would in an arbitrary thread of the bus driver.
    KIRQL old_irql;
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old_irql);
}

}  // namespace platform::usb
