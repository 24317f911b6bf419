// The USB part of the camera context: the device stack and the configuration state.
#pragma once

#include "platform/ddk.h"

struct UsbDevice {
    PDEVICE_OBJECT physical_device;
    PDEVICE_OBJECT lower_device;  // target of every URB
    PDEVICE_OBJECT functional_device;
    PUSB_CONFIGURATION_DESCRIPTOR configuration_descriptor;  // while configured, else null
    PUSBD_INTERFACE_INFORMATION interface_info;              // first interface, as selected
    PUCHAR pipe_active;  // one byte per pipe of the first interface; nonzero: abort on stop
};
