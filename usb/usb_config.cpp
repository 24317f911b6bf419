#include "usb/pool_tags.h"
#include "usb/usb_request.h"
#include "usb/usb_transport.h"

namespace {

inline constexpr ULONG kDeviceDescriptorSize = sizeof(USB_DEVICE_DESCRIPTOR);
inline constexpr ULONG kConfigurationHeaderSize = sizeof(USB_CONFIGURATION_DESCRIPTOR);
// bInterfaceNumber is one byte, so no search needs to look past 255.
inline constexpr LONG kInterfaceNumberLimit = 256;

PVOID AllocateBuffer(ULONG size) {
    return ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), size, kUsbTag);
}

VOID FreeBuffer(PVOID buffer) {
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, kUsbTag);
    }
}

// Reads a descriptor into buffer; *received gets the bytes that arrived.
NTSTATUS ReadDescriptor(UsbDevice* usb, PURB urb, UCHAR type, PVOID buffer, ULONG length,
                        PULONG received) {
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                 buffer, nullptr, length, nullptr);
    NTSTATUS status = SubmitUrb(usb, urb);
    *received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status)) {
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

// The camera's descriptors are input from outside: every descriptor in the chain must lie inside
// wTotalLength, and interface and endpoint descriptors must be at least their standard size, so
// that no parser walks off the end or loops on a zero length.
bool ConfigurationIsWellFormed(const UCHAR* bytes, ULONG total_length) {
    if (total_length < kConfigurationHeaderSize || bytes[0] < kConfigurationHeaderSize ||
        bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        (ULONG)(bytes[2] | bytes[3] << 8) != total_length) {
        return false;
    }
    ULONG offset = bytes[0];
    while (offset < total_length) {
        if (total_length - offset < 2) {
            return false;
        }
        ULONG length = bytes[offset];
        UCHAR type = bytes[offset + 1];
        if (length < 2 || length > total_length - offset) {
            return false;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return false;
        }
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            return false;
        }
        offset += length;
    }
    return true;
}

// The record returned by the bus must hold the pipes it announces.
bool InterfaceRecordIsWellFormed(PUSBD_INTERFACE_INFORMATION record) {
    ULONG header = (ULONG)offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (record->Length < header) {
        return false;
    }
    return record->NumberOfPipes <= (record->Length - header) / sizeof(USBD_PIPE_INFORMATION);
}

// The camera's pipes are used by index: commands go out on one, replies and frames come in on the
// others, all bulk. Any other endpoint in one of those places would take commands the camera never
// sees, or be read for replies it never sends.
bool CameraPipesArePresent(PUSBD_INTERFACE_INFORMATION record) {
    struct PipeRole {
        ULONG pipe;
        bool in;
    };
    constexpr PipeRole kRoles[] = {{kCommandPipe, false}, {kReplyPipe, true}, {kFramePipe, true}};
    for (const PipeRole& role : kRoles) {
        if (role.pipe >= record->NumberOfPipes) {
            return false;
        }
        const USBD_PIPE_INFORMATION& pipe = record->Pipes[role.pipe];
        const UCHAR reserved_bits =
            (UCHAR) ~(USB_ENDPOINT_DIRECTION_MASK | USB_ENDPOINT_ADDRESS_MASK);
        if (pipe.PipeType != UsbdPipeTypeBulk || (pipe.EndpointAddress & reserved_bits) != 0 ||
            (USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) != 0) != role.in) {
            return false;
        }
    }
    return true;
}

}  // namespace

NTSTATUS StartUsbDevice(UsbDevice* usb) {
    // A start without a stop before it must not drop the configuration it had.
    FreeUsbState(usb);

    PURB urb = AllocateUrb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                           URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    PVOID device_descriptor = AllocateBuffer(kDeviceDescriptorSize);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb != nullptr && device_descriptor != nullptr) {
        ULONG received = 0;
        status = ReadDescriptor(usb, urb, USB_DEVICE_DESCRIPTOR_TYPE, device_descriptor,
                                kDeviceDescriptorSize, &received);
        if (NT_SUCCESS(status)) {
            status = ReadConfiguration(usb);
        }
    }
    FreeUrb(urb);
    FreeBuffer(device_descriptor);
    return status;
}

NTSTATUS ReadConfiguration(UsbDevice* usb) {
    PURB urb = AllocateUrb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                           URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    PUCHAR header = (PUCHAR)AllocateBuffer(kConfigurationHeaderSize);
    if (urb == nullptr || header == nullptr) {
        FreeUrb(urb);
        FreeBuffer(header);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG received = 0;
    NTSTATUS status = ReadDescriptor(usb, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                                     kConfigurationHeaderSize, &received);
    ULONG total_length = header[2] | header[3] << 8;
    FreeBuffer(header);
    if (NT_SUCCESS(status) &&
        (received < kConfigurationHeaderSize || total_length < kConfigurationHeaderSize)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    PUCHAR descriptor = nullptr;
    if (NT_SUCCESS(status)) {
        descriptor = (PUCHAR)AllocateBuffer(total_length);
        if (descriptor == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        status = ReadDescriptor(usb, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, descriptor,
                                total_length, &received);
        if (NT_SUCCESS(status) &&
            (received != total_length || !ConfigurationIsWellFormed(descriptor, total_length) ||
             descriptor[4] == 0)) {
            status = STATUS_DEVICE_DATA_ERROR;
        }
    }
    if (NT_SUCCESS(status)) {
        usb->configuration_descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)descriptor;
        descriptor = nullptr;
        status = SelectConfiguration(usb, usb->configuration_descriptor);
    }
    FreeUrb(urb);
    FreeBuffer(descriptor);
    return status;
}

NTSTATUS SelectConfiguration(UsbDevice* usb, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    ULONG wanted = descriptor->bNumInterfaces;
    ULONG list_size = (wanted + 1) * (ULONG)sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY list = (PUSBD_INTERFACE_LIST_ENTRY)AllocateBuffer(list_size);
    if (list == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A descriptor may announce more interfaces than it holds: the search ends at the last
    // possible interface number, and the selection goes on with those that exist.
    ULONG found = 0;
    for (LONG number = 0; number < kInterfaceNumberLimit && found < wanted; ++number) {
        PUSB_INTERFACE_DESCRIPTOR interface_descriptor =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, number, 0, -1, -1, -1);
        if (interface_descriptor != nullptr) {
            list[found].InterfaceDescriptor = interface_descriptor;
            list[found].Interface = nullptr;
            ++found;
        }
    }
    if (found == 0) {
        FreeBuffer(list);
        return STATUS_DEVICE_DATA_ERROR;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (urb == nullptr) {
        FreeBuffer(list);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    for (ULONG i = 0; i < first->NumberOfPipes; ++i) {
        first->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    NTSTATUS status = SubmitUrb(usb, urb);
    if (NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status)) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status) &&
        (!InterfaceRecordIsWellFormed(first) || !CameraPipesArePresent(first))) {
        // Refused after the bus selected it: the device goes back to unconfigured.
        DeconfigureDevice(usb);
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION copy =
            (PUSBD_INTERFACE_INFORMATION)AllocateBuffer(first->Length);
        if (copy != nullptr) {
            const UCHAR* from = (const UCHAR*)first;
            PUCHAR to = (PUCHAR)copy;
            for (ULONG i = 0; i < first->Length; ++i) {
                to[i] = from[i];
            }
            usb->interface_info = copy;
        } else {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
        // At least one byte, so that a configured device always has the array.
        ULONG pipes = first->NumberOfPipes;
        usb->pipe_active = (PUCHAR)AllocateBuffer(pipes > 0 ? pipes : 1);
        if (usb->pipe_active == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    FreeBuffer(list);
    ExFreePool(urb);
    return status;
}

VOID FreeUsbState(UsbDevice* usb) {
    FreeBuffer(usb->configuration_descriptor);
    usb->configuration_descriptor = nullptr;
    FreeBuffer(usb->interface_info);
    usb->interface_info = nullptr;
    FreeBuffer(usb->pipe_active);
    usb->pipe_active = nullptr;
}

NTSTATUS DeconfigureDevice(UsbDevice* usb) {
    PURB urb = AllocateUrb(sizeof(_URB_SELECT_CONFIGURATION), URB_FUNCTION_SELECT_CONFIGURATION);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    NTSTATUS status = SubmitUrb(usb, urb);
    FreeUrb(urb);
    return status;
}

NTSTATUS StopUsbDevice(UsbDevice* usb) {
    FreeUsbState(usb);
    return DeconfigureDevice(usb);
}

namespace {

NTSTATUS SendPipeRequest(UsbDevice* usb, USHORT function, USBD_PIPE_HANDLE handle) {
    PURB urb = AllocateUrb(sizeof(_URB_PIPE_REQUEST), function);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbPipeRequest.PipeHandle = handle;
    NTSTATUS status = SubmitUrb(usb, urb);
    FreeUrb(urb);
    return status;
}

}  // namespace

NTSTATUS ResetPipe(UsbDevice* usb, PUSBD_PIPE_INFORMATION pipe) {
    NTSTATUS status =
        SendPipeRequest(usb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe->PipeHandle);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS GetPortStatus(UsbDevice* usb, PULONG port_status) {
    *port_status = 0;
    return CallLowerDevice(usb, IOCTL_INTERNAL_USB_GET_PORT_STATUS, port_status);
}

NTSTATUS ResetPort(UsbDevice* usb) {
    return CallLowerDevice(usb, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

VOID RecoverPort(UsbDevice* usb) {
    ULONG port_status = 0;
    if (NT_SUCCESS(GetPortStatus(usb, &port_status)) &&
        (port_status & (USBD_PORT_CONNECTED | USBD_PORT_ENABLED)) == USBD_PORT_CONNECTED) {
        ResetPort(usb);
    }
}

NTSTATUS AbortActivePipes(UsbDevice* usb) {
    if (usb->interface_info == nullptr || usb->pipe_active == nullptr) {
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < usb->interface_info->NumberOfPipes; ++i) {
        if (IsPipeActive(usb, i) == 0) {
            continue;
        }
        // Only a missing URB stops the loop; an abort the bus failed, or whose carrier request
        // could not be built, leaves the pipe marked and the others are still aborted.
        PURB urb = AllocateUrb(sizeof(_URB_PIPE_REQUEST), URB_FUNCTION_ABORT_PIPE);
        if (urb == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        urb->UrbPipeRequest.PipeHandle = usb->interface_info->Pipes[i].PipeHandle;
        NTSTATUS status = SubmitUrb(usb, urb);
        FreeUrb(urb);
        if (NT_SUCCESS(status)) {
            SetPipeActive(usb, i, 0);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS StopCapture(CameraContext* camera) {
    NTSTATUS status = AbortActivePipes(&camera->usb);
    // With no transfer in flight the event is not a frame's: a read waiting out its time-out
    // after a failure waits on it, and ends now.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&camera->transfer_lock);
    if (camera->transfer_slots == nullptr) {
        KeSetEvent(&camera->transfer_event, 1, FALSE);
    }
    KeReleaseSpinLock(&camera->transfer_lock, irql);
    return status;
}
