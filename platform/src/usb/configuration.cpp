#include "configuration.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "descriptor_walk.h"
#include "transfer_buffer.h"
#include "usb_internal.h"

namespace platform::usb {
namespace {

constexpr size_t kMaxPipes = 32;
constexpr size_t kInterfaceFixedPart =
    sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);

using Pipes = std::vector<PUSBD_PIPE_INFORMATION>;

std::atomic<uintptr_t> next_handle{1};

// Opaque handles, never reused, so that a stale handle stays invalid.
PVOID NewHandle() {
    return (PVOID)(0x0000B05000000000ull + (next_handle.fetch_add(1) << 4));
}

// wTotalLength is read bytewise: the descriptor may be shorter than its own header claims.
bool IsConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    auto* bytes = reinterpret_cast<const uint8_t*>(configuration);
    return bytes[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
           (size_t)(bytes[2] | bytes[3] << 8) >= sizeof(USB_CONFIGURATION_DESCRIPTOR);
}

// Fills one interface record from the descriptor and notes its pipes; false when the record does
// not fit the interface it names.
bool FillInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration, USBD_INTERFACE_INFORMATION* info,
                   Pipes* pipes) {
    PUSB_INTERFACE_DESCRIPTOR interface_descriptor = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
    if (interface_descriptor == nullptr)
        return false;
    const ULONG count = interface_descriptor->bNumEndpoints;
    PUSB_ENDPOINT_DESCRIPTOR endpoints[kMaxPipes] = {};
    if (count > kMaxPipes ||
        info->Length < kInterfaceFixedPart + count * sizeof(USBD_PIPE_INFORMATION) ||
        !InterfaceEndpoints(configuration, interface_descriptor, endpoints, kMaxPipes)) {
        return false;
    }
    info->Class = interface_descriptor->bInterfaceClass;
    info->SubClass = interface_descriptor->bInterfaceSubClass;
    info->Protocol = interface_descriptor->bInterfaceProtocol;
    info->InterfaceHandle = NewHandle();
    info->NumberOfPipes = count;
    for (ULONG i = 0; i < count; i++) {
        USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        pipe.MaximumPacketSize = endpoints[i]->wMaxPacketSize & 0x7FF;
        pipe.EndpointAddress = endpoints[i]->bEndpointAddress;
        pipe.Interval = endpoints[i]->bInterval;
        pipe.PipeType = (USBD_PIPE_TYPE)(endpoints[i]->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        pipe.PipeHandle = nullptr;
        pipes->push_back(&pipe);
    }
    return true;
}

// Walks the URB's interface records up to its end or a zeroed record; false at a record that is
// malformed or names no interface of the descriptor.
bool FillInterfaces(PURB urb, Pipes* pipes) {
    _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
    auto* record = reinterpret_cast<uint8_t*>(&select.Interface);
    auto* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
    while (end - record >= (ptrdiff_t)kInterfaceFixedPart) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        if (info->Length == 0)
            return true;
        if (info->Length < kInterfaceFixedPart || info->Length > end - record ||
            !FillInterface(select.ConfigurationDescriptor, info, pipes)) {
            return false;
        }
        record += info->Length;
    }
    return true;
}

}  // namespace

void Configuration::Select(PIRP irp, PURB urb, Completions& done) {
    _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;
    Pipes pipes;
    if (configuration != nullptr &&
        (!IsConfigurationDescriptor(configuration) || !FillInterfaces(urb, &pipes))) {
        done.push_back(Refused(irp, urb, USBD_STATUS_INVALID_PARAMETER));
        return;
    }
    const uint8_t value = configuration != nullptr ? configuration->bConfigurationValue : 0;
    Completion completion;
    completion.irp = irp;
    completion.urb = urb;
    completion.trace =
        TraceEventBuilder::Control(urb, kDefaultPipeOut, {kToDevice, kSetConfiguration, value});
    trace_.Write(completion.trace->Submission(0, nullptr));

    if (!model_->SetConfiguration(value)) {
        completion.status = STATUS_UNSUCCESSFUL;
        completion.urb_status = USBD_STATUS_STALL_PID;
        select.ConfigurationHandle = nullptr;
        done.push_back(completion);
        return;
    }
    for (PUSBD_PIPE_INFORMATION pipe : pipes)
        pipe->PipeHandle = NewHandle();
    queues_.Reconfigure(pipes, done);
    select.ConfigurationHandle = configuration != nullptr ? NewHandle() : nullptr;
    done.push_back(completion);
}

void Configuration::GetDescriptor(PIRP irp, PURB urb, Completions& done) {
    _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
    const ULONG length = request.TransferBufferLength;
    uint8_t* buffer = nullptr;
    if (!TransferBuffer(request.TransferBufferMDL, request.TransferBuffer, length, &buffer)) {
        Completion refused = Refused(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        refused.transferred = &request.TransferBufferLength;  // nothing moved
        done.push_back(refused);
        return;
    }
    Completion completion;
    completion.irp = irp;
    completion.urb = urb;
    completion.transferred = &request.TransferBufferLength;
    completion.buffer = buffer;
    const SetupPacket setup{kFromDevice, kGetDescriptor,
                            (uint16_t)(request.DescriptorType << 8 | request.Index),
                            request.LanguageId, (uint16_t)std::min<ULONG>(length, 0xFFFF)};
    completion.trace = TraceEventBuilder::Control(urb, kDefaultPipeIn, setup);
    trace_.Write(completion.trace->Submission(length, buffer));

    std::vector<uint8_t> descriptor;
    if (model_->GetDescriptor(request.DescriptorType, request.Index, request.LanguageId,
                              &descriptor)) {
        completion.moved = (ULONG)std::min<size_t>(descriptor.size(), length);
        if (completion.moved != 0)
            std::memcpy(buffer, descriptor.data(), completion.moved);
    } else {
        completion.status = STATUS_UNSUCCESSFUL;
        completion.urb_status = USBD_STATUS_STALL_PID;
    }
    done.push_back(completion);
}

}  // namespace platform::usb
