// The USBD helper functions: interface lookup and select-configuration requests.
#include "descriptor_walk.h"
#include "platform/usb.h"
#include "usb_internal.h"

namespace {

bool Matches(LONG wanted, UCHAR value) {
    return wanted == -1 || wanted == value;
}

// An interface record with n pipes; records without pipes keep only the fixed part.
SIZE_T InterfaceRecordSize(ULONG pipes) {
    return sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) +
           pipes * sizeof(USBD_PIPE_INFORMATION);
}

}  // namespace

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configuration_descriptor, PVOID start_position,
    LONG interface_number, LONG alternate_setting, LONG interface_class, LONG interface_sub_class,
    LONG interface_protocol) {
    platform::usb::DescriptorWalk walk(configuration_descriptor, start_position);
    for (PUSB_COMMON_DESCRIPTOR descriptor = walk.Next(); descriptor != nullptr;
         descriptor = walk.Next()) {
        if (descriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
            descriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            continue;
        }
        auto* interface_descriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(descriptor);
        if (Matches(interface_number, interface_descriptor->bInterfaceNumber) &&
            Matches(alternate_setting, interface_descriptor->bAlternateSetting) &&
            Matches(interface_class, interface_descriptor->bInterfaceClass) &&
            Matches(interface_sub_class, interface_descriptor->bInterfaceSubClass) &&
            Matches(interface_protocol, interface_descriptor->bInterfaceProtocol)) {
            return interface_descriptor;
        }
    }
    return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configuration_descriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY interface_list) {
    SIZE_T size = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interface_list; entry->InterfaceDescriptor != nullptr;
         entry++) {
        size += InterfaceRecordSize(entry->InterfaceDescriptor->bNumEndpoints);
    }
    if (size < sizeof(_URB_SELECT_CONFIGURATION))
        size = sizeof(_URB_SELECT_CONFIGURATION);
    if (size > 0xFFFF)
        return nullptr;  // the URB's Length is 16 bits
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(
        (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), size, platform::usb::kUrbTag));
    if (urb == nullptr)
        return nullptr;
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration_descriptor;
    auto* record = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = interface_list; entry->InterfaceDescriptor != nullptr;
         entry++) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        info->Length = (USHORT)InterfaceRecordSize(descriptor->bNumEndpoints);
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; i++) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry->Interface = info;
        record += info->Length;
    }
    return urb;
}
