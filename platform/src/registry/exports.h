// What ntoskrnl.exe offers a driver image from the registry stand-in, by the names it is imported
// by. The image loader binds imports to these.
#pragma once

#include "platform/registry.h"

#define PLATFORM_REGISTRY_EXPORTS(X) \
    X(IoOpenDeviceRegistryKey) X(ZwCreateKey) X(ZwQueryValueKey) X(ZwSetValueKey)
