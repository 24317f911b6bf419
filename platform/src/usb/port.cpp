#include "port.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "descriptor_walk.h"
#include "platform/verifier.h"
#include "usb_internal.h"

namespace platform::usb {
namespace {

constexpr int32_t kTraceInProgress = -115;  // usbmon's status of a submission

std::atomic<uint8_t> next_device_number{1};
std::atomic<uintptr_t> next_handle{1};

// Opaque handles, never reused, so that a stale pipe handle stays invalid.
PVOID NewHandle() {
    return (PVOID)(0x0000B05000000000ull + (next_handle.fetch_add(1) << 4));
}

int32_t TraceStatus(USBD_STATUS status) {
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

TraceTransferType TraceType(USBD_PIPE_TYPE type) {
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

void SetSetup(TraceEvent* event, uint8_t request_type, uint8_t request, uint16_t value,
              uint16_t index, uint16_t length) {
    event->has_setup = true;
    event->setup[0] = request_type;
    event->setup[1] = request;
    event->setup[2] = (uint8_t)value;
    event->setup[3] = (uint8_t)(value >> 8);
    event->setup[4] = (uint8_t)index;
    event->setup[5] = (uint8_t)(index >> 8);
    event->setup[6] = (uint8_t)length;
    event->setup[7] = (uint8_t)(length >> 8);
}

// The data buffer of a transfer URB: its MDL's system address, else its buffer pointer.
uint8_t* TransferAddress(PMDL mdl, PVOID buffer, ULONG length, bool* ok) {
    *ok = true;
    if (mdl != nullptr) {
        auto* address =
            static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        if (address == nullptr || MmGetMdlByteCount(mdl) < length)
            *ok = false;
        return address;
    }
    if (buffer == nullptr && length != 0)
        *ok = false;
    return static_cast<uint8_t*>(buffer);
}

NTSTATUS UnsupportedDispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS PortDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return Port::FromDevice(device)->Dispatch(irp);
}

VOID PortCancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Port::FromDevice(device)->QueueCancel(irp);
}

thread_local Port* current_bus_thread = nullptr;

}  // namespace

Port::Port(UsbDeviceModel* model, PDEVICE_OBJECT device, PDRIVER_OBJECT driver)
    : model_(model),
      device_(device),
      driver_(driver),
      trace_(next_device_number.fetch_add(1) % 127 + 1) {}

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
    port->thread_ = std::thread([port] { port->Run(); });
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
    port->thread_.join();
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
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = endpoints_.find(endpoint_address);
    return found == endpoints_.end() ? 0 : found->second.pending.size();
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
            ProcessSubmit(command.irp, done);
            break;
        case CommandKind::kCancel:
            ProcessCancel(command.irp, done);
            break;
        case CommandKind::kSendIn:
        case CommandKind::kFailIn: {
            std::lock_guard<std::mutex> lock(mutex_);
            Endpoint& endpoint = endpoints_[command.endpoint];
            InChunk chunk;
            chunk.failure = command.kind == CommandKind::kFailIn;
            chunk.status = command.status;
            chunk.data = std::move(command.data);
            endpoint.in_data.push_back(std::move(chunk));
            Pump(command.endpoint, endpoint, done);
            break;
        }
        case CommandKind::kFlushIn: {
            std::lock_guard<std::mutex> lock(mutex_);
            std::deque<InChunk>& chunks = endpoints_[command.endpoint].in_data;
            chunks.erase(std::remove_if(chunks.begin(), chunks.end(),
                                        [](const InChunk& chunk) { return !chunk.failure; }),
                         chunks.end());
            break;
        }
        case CommandKind::kStop: {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& [address, endpoint] : endpoints_) {
                EndPending(endpoint, address, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE,
                           done);
            }
            break;
        }
    }
}

void Port::ProcessSubmit(PIRP irp, Completions& done) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Completion completion;
    completion.irp = irp;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB: {
            auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (urb != nullptr) {
                ProcessUrb(irp, urb, done);
                return;
            }
            completion.status = STATUS_INVALID_PARAMETER;
            break;
        }
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* port_status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
            if (port_status == nullptr) {
                completion.status = STATUS_INVALID_PARAMETER;
                break;
            }
            *port_status = model_->PortStatus();
            break;
        }
        case IOCTL_INTERNAL_USB_RESET_PORT:
            model_->ResetPort();
            break;
        default:
            completion.status = STATUS_NOT_SUPPORTED;
            break;
    }
    done.push_back(completion);
}

void Port::ProcessUrb(PIRP irp, PURB urb, Completions& done) {
    Completion completion;
    completion.irp = irp;
    completion.urb = urb;
    auto fail = [&](USBD_STATUS urb_status) {
        completion.status = STATUS_INVALID_PARAMETER;
        completion.urb_status = urb_status;
        done.push_back(completion);
    };
    USHORT length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            if (length < sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION)) {
                return fail(USBD_STATUS_INVALID_PARAMETER);
            }
            return SelectConfiguration(irp, urb, done);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            if (length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) {
                return fail(USBD_STATUS_INVALID_PARAMETER);
            }
            return GetDescriptor(irp, urb, done);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            if (length < sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) {
                return fail(USBD_STATUS_INVALID_PARAMETER);
            }
            return BulkTransfer(irp, urb, done);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
            uint8_t address = 0;
            if (length < sizeof(_URB_PIPE_REQUEST))
                return fail(USBD_STATUS_INVALID_PARAMETER);
            if (!FindPipe(urb->UrbPipeRequest.PipeHandle, &address)) {
                return fail(USBD_STATUS_INVALID_PIPE_HANDLE);
            }
            if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
                std::lock_guard<std::mutex> lock(mutex_);
                EndPending(endpoints_[address], address, STATUS_CANCELLED, USBD_STATUS_CANCELED,
                           done);
            } else {
                // Clearing the halt is a control transfer on the wire.
                TraceEvent event;
                event.id = (uint64_t)(uintptr_t)urb;
                event.transfer_type = TraceTransferType::kControl;
                SetSetup(&event, 0x02, 0x01, 0, address, 0);
                event.status = kTraceInProgress;
                Trace(event);
                completion.urb_status = model_->ResetPipe(address);
                if (!USBD_SUCCESS(completion.urb_status))
                    completion.status = STATUS_UNSUCCESSFUL;
                completion.traced = true;
                completion.trace = event;
                completion.trace.has_setup = false;
            }
            done.push_back(completion);
            return;
        }
        default:
            return fail(USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

void Port::SelectConfiguration(PIRP irp, PURB urb, Completions& done) {
    Completion completion;
    completion.irp = irp;
    completion.urb = urb;
    _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;

    struct NewPipe {
        uint8_t address;
        PUSBD_PIPE_INFORMATION pipe;
    };
    std::vector<NewPipe> new_pipes;
    uint8_t value = 0;
    if (configuration != nullptr) {
        auto* bytes = reinterpret_cast<const uint8_t*>(configuration);
        if (bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
            (size_t)(bytes[2] | bytes[3] << 8) < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            completion.status = STATUS_INVALID_PARAMETER;
            completion.urb_status = USBD_STATUS_INVALID_PARAMETER;
            done.push_back(completion);
            return;
        }
        value = configuration->bConfigurationValue;
        auto* record = reinterpret_cast<uint8_t*>(&select.Interface);
        auto* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
        constexpr size_t kFixedPart =
            sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);
        bool valid = true;
        while (valid && end - record >= (ptrdiff_t)kFixedPart) {
            auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
            if (info->Length == 0)
                break;  // a zeroed record ends the list
            if (info->Length < kFixedPart || info->Length > end - record) {
                valid = false;
                break;
            }
            PUSB_INTERFACE_DESCRIPTOR interface_descriptor = USBD_ParseConfigurationDescriptorEx(
                configuration, configuration, info->InterfaceNumber, info->AlternateSetting, -1, -1,
                -1);
            if (interface_descriptor == nullptr) {
                valid = false;
                break;
            }
            ULONG pipes = interface_descriptor->bNumEndpoints;
            PUSB_ENDPOINT_DESCRIPTOR endpoints[32] = {};
            if (pipes > 32 || info->Length < kFixedPart + pipes * sizeof(USBD_PIPE_INFORMATION) ||
                !InterfaceEndpoints(configuration, interface_descriptor, endpoints, 32)) {
                valid = false;
                break;
            }
            info->Class = interface_descriptor->bInterfaceClass;
            info->SubClass = interface_descriptor->bInterfaceSubClass;
            info->Protocol = interface_descriptor->bInterfaceProtocol;
            info->InterfaceHandle = NewHandle();
            info->NumberOfPipes = pipes;
            for (ULONG i = 0; i < pipes; i++) {
                USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
                pipe.MaximumPacketSize = endpoints[i]->wMaxPacketSize & 0x7FF;
                pipe.EndpointAddress = endpoints[i]->bEndpointAddress;
                pipe.Interval = endpoints[i]->bInterval;
                pipe.PipeType =
                    (USBD_PIPE_TYPE)(endpoints[i]->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                pipe.PipeHandle = nullptr;
                new_pipes.push_back({pipe.EndpointAddress, &pipe});
            }
            record += info->Length;
        }
        if (!valid) {
            completion.status = STATUS_INVALID_PARAMETER;
            completion.urb_status = USBD_STATUS_INVALID_PARAMETER;
            done.push_back(completion);
            return;
        }
    }

    TraceEvent event;
    event.id = (uint64_t)(uintptr_t)urb;
    event.transfer_type = TraceTransferType::kControl;
    SetSetup(&event, 0x00, 0x09, value, 0, 0);
    event.status = kTraceInProgress;
    Trace(event);
    completion.traced = true;
    completion.trace = event;
    completion.trace.has_setup = false;

    if (!model_->SetConfiguration(value)) {
        completion.status = STATUS_UNSUCCESSFUL;
        completion.urb_status = USBD_STATUS_STALL_PID;
        select.ConfigurationHandle = nullptr;
        done.push_back(completion);
        return;
    }
    {
        // A new configuration starts every endpoint afresh; the old pipe handles become invalid.
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [address, endpoint] : endpoints_) {
            EndPending(endpoint, address, STATUS_CANCELLED, USBD_STATUS_CANCELED, done);
            endpoint.in_data.clear();
        }
        pipes_.clear();
        for (const NewPipe& new_pipe : new_pipes) {
            new_pipe.pipe->PipeHandle = NewHandle();
            pipes_[(uintptr_t)new_pipe.pipe->PipeHandle] = new_pipe.address;
            Endpoint& endpoint = endpoints_[new_pipe.address];
            endpoint.type = new_pipe.pipe->PipeType;
            endpoint.max_packet = new_pipe.pipe->MaximumPacketSize;
            endpoint.interval = new_pipe.pipe->Interval;
        }
    }
    select.ConfigurationHandle = configuration != nullptr ? NewHandle() : nullptr;
    done.push_back(completion);
}

void Port::GetDescriptor(PIRP irp, PURB urb, Completions& done) {
    _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
    Completion completion;
    completion.irp = irp;
    completion.urb = urb;
    completion.transferred = &request.TransferBufferLength;
    bool ok = true;
    uint8_t* buffer = TransferAddress(request.TransferBufferMDL, request.TransferBuffer,
                                      request.TransferBufferLength, &ok);
    if (!ok) {
        completion.status = STATUS_INVALID_PARAMETER;
        completion.urb_status = USBD_STATUS_INVALID_PARAMETER;
        done.push_back(completion);
        return;
    }
    ULONG length = request.TransferBufferLength;
    TraceEvent event;
    event.id = (uint64_t)(uintptr_t)urb;
    event.transfer_type = TraceTransferType::kControl;
    event.endpoint = 0x80;
    SetSetup(&event, 0x80, 0x06, (uint16_t)(request.DescriptorType << 8 | request.Index),
             request.LanguageId, (uint16_t)std::min<ULONG>(length, 0xFFFF));
    event.status = kTraceInProgress;
    event.length = length;
    Trace(event);

    std::vector<uint8_t> descriptor;
    ULONG returned = 0;
    if (model_->GetDescriptor(request.DescriptorType, request.Index, request.LanguageId,
                              &descriptor)) {
        returned = (ULONG)std::min<size_t>(descriptor.size(), length);
        if (returned != 0)
            std::memcpy(buffer, descriptor.data(), returned);
    } else {
        completion.status = STATUS_UNSUCCESSFUL;
        completion.urb_status = USBD_STATUS_STALL_PID;
    }
    completion.transferred_value = returned;
    completion.traced = true;
    completion.trace = event;
    completion.trace.has_setup = false;
    completion.trace.length = returned;
    completion.trace.data = buffer;
    completion.trace.data_length = returned;
    done.push_back(completion);
}

void Port::BulkTransfer(PIRP irp, PURB urb, Completions& done) {
    _URB_BULK_OR_INTERRUPT_TRANSFER& request = urb->UrbBulkOrInterruptTransfer;
    uint8_t address = 0;
    bool ok = FindPipe(request.PipeHandle, &address);
    USBD_STATUS error = USBD_STATUS_INVALID_PIPE_HANDLE;
    uint8_t* buffer = nullptr;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    int32_t interval = 0;
    if (ok) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const Endpoint& endpoint = endpoints_[address];
            type = endpoint.type;
            interval = endpoint.interval;
        }
        error = USBD_STATUS_INVALID_PARAMETER;
        ok = type == UsbdPipeTypeBulk || type == UsbdPipeTypeInterrupt;
        if (ok) {
            buffer = TransferAddress(request.TransferBufferMDL, request.TransferBuffer,
                                     request.TransferBufferLength, &ok);
        }
    }
    if (!ok) {
        Completion completion;
        completion.irp = irp;
        completion.urb = urb;
        completion.status = STATUS_INVALID_PARAMETER;
        completion.urb_status = error;
        done.push_back(completion);
        return;
    }
    Transfer transfer{irp,    urb,
                      buffer, request.TransferBufferLength,
                      0,      (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0};
    TraceEvent event;
    event.id = (uint64_t)(uintptr_t)urb;
    event.transfer_type = TraceType(type);
    event.endpoint = address;
    event.status = kTraceInProgress;
    event.length = transfer.length;
    event.interval = interval;

    if (USB_ENDPOINT_DIRECTION_IN(address)) {
        Trace(event);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            endpoints_[address].pending.push_back(transfer);
        }
        model_->InTransferQueued(address, transfer.length);
        std::lock_guard<std::mutex> lock(mutex_);
        Pump(address, endpoints_[address], done);
        return;
    }

    event.data = buffer;
    event.data_length = transfer.length;
    Trace(event);
    UsbOutResult result = model_->Out(address, buffer, transfer.length);
    if (result.never_completes) {
        std::lock_guard<std::mutex> lock(mutex_);
        endpoints_[address].pending.push_back(transfer);
        return;
    }
    transfer.moved = std::min(result.accepted, transfer.length);
    NTSTATUS status = USBD_SUCCESS(result.status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    done.push_back(FinishTransfer(transfer, address, status, result.status));
}

Port::Completion Port::FinishTransfer(const Transfer& transfer, uint8_t address, NTSTATUS status,
                                      USBD_STATUS urb_status) {
    Completion completion;
    completion.irp = transfer.irp;
    completion.urb = transfer.urb;
    completion.status = status;
    completion.urb_status = urb_status;
    completion.transferred = &transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    completion.transferred_value = transfer.moved;
    completion.traced = true;
    completion.trace.id = (uint64_t)(uintptr_t)transfer.urb;
    completion.trace.type = 'C';
    completion.trace.endpoint = address;
    completion.trace.length = transfer.moved;
    auto found = endpoints_.find(address);
    if (found != endpoints_.end()) {
        completion.trace.transfer_type = TraceType(found->second.type);
        completion.trace.interval = found->second.interval;
    }
    if (USB_ENDPOINT_DIRECTION_IN(address)) {
        completion.trace.data = transfer.buffer;
        completion.trace.data_length = transfer.moved;
    }
    return completion;
}

void Port::Pump(uint8_t address, Endpoint& endpoint, Completions& done) {
    while (!endpoint.pending.empty() && !endpoint.in_data.empty()) {
        Transfer& transfer = endpoint.pending.front();
        InChunk& chunk = endpoint.in_data.front();
        if (chunk.failure) {
            done.push_back(FinishTransfer(transfer, address, STATUS_UNSUCCESSFUL, chunk.status));
            endpoint.in_data.pop_front();
            endpoint.pending.pop_front();
            continue;
        }
        size_t take =
            std::min<size_t>(transfer.length - transfer.moved, chunk.data.size() - chunk.offset);
        if (take != 0)
            std::memcpy(transfer.buffer + transfer.moved, chunk.data.data() + chunk.offset, take);
        transfer.moved += (ULONG)take;
        chunk.offset += take;
        bool short_packet = false;
        if (chunk.offset == chunk.data.size()) {
            short_packet = endpoint.max_packet == 0 ||
                           chunk.data.size() % endpoint.max_packet != 0 || chunk.data.empty();
            endpoint.in_data.pop_front();
        }
        if (transfer.moved == transfer.length) {
            done.push_back(FinishTransfer(transfer, address, STATUS_SUCCESS, USBD_STATUS_SUCCESS));
            endpoint.pending.pop_front();
        } else if (short_packet) {
            if (transfer.short_ok) {
                done.push_back(
                    FinishTransfer(transfer, address, STATUS_SUCCESS, USBD_STATUS_SUCCESS));
            } else {
                done.push_back(FinishTransfer(transfer, address, STATUS_UNSUCCESSFUL,
                                              USBD_STATUS_ERROR_SHORT_TRANSFER));
            }
            endpoint.pending.pop_front();
        }
    }
}

void Port::EndPending(Endpoint& endpoint, uint8_t address, NTSTATUS status, USBD_STATUS urb_status,
                      Completions& done) {
    while (!endpoint.pending.empty()) {
        done.push_back(FinishTransfer(endpoint.pending.front(), address, status, urb_status));
        endpoint.pending.pop_front();
    }
}

void Port::ProcessCancel(PIRP irp, Completions& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto& [address, endpoint] : endpoints_) {
        for (auto it = endpoint.pending.begin(); it != endpoint.pending.end(); ++it) {
            if (it->irp != irp)
                continue;
            Completion completion =
                FinishTransfer(*it, address, STATUS_CANCELLED, USBD_STATUS_CANCELED);
            endpoint.pending.erase(it);
            lock.unlock();
            Complete(completion, true);
            return;
        }
    }
    auto found = awaiting_cancel_.find(irp);
    if (found == awaiting_cancel_.end())
        return;
    Completion completion = found->second;
    awaiting_cancel_.erase(found);
    lock.unlock();
    Complete(completion, true);
    (void)done;
}

bool Port::FindPipe(PVOID handle, uint8_t* address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = pipes_.find((uintptr_t)handle);
    if (found == pipes_.end())
        return false;
    *address = found->second;
    return true;
}

void Port::Trace(TraceEvent event) {
    trace_.Write(event);
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
        *completion.transferred = completion.transferred_value;
    if (completion.traced) {
        completion.trace.type = 'C';
        completion.trace.status = TraceStatus(completion.urb_status);
        Trace(completion.trace);
    }
    irp->IoStatus.Status = completion.status;
    irp->IoStatus.Information = 0;
    // Completion routines run as they would in an arbitrary thread of the bus driver.
    KIRQL old_irql;
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old_irql);
}

}  // namespace platform::usb
