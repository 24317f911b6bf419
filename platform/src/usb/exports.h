// What USBD.SYS offers a driver image from the USB stand-in, by the names it is imported by. The
// image loader binds imports to these.
#pragma once

#include "platform/usb.h"

#define PLATFORM_USBD_EXPORTS(X) \
    X(USBD_ParseConfigurationDescriptorEx) X(USBD_CreateConfigurationRequestEx)
