// The carrier request that takes a URB or a port request down to the bus driver.
#pragma once

#include "platform/ddk.h"
#include "usb/usb_device.h"

// Sends an internal device-control request with argument1 in the next stack location to the lower
// device and waits for it at most frame_timeout_ms; returns the request's status, or
// STATUS_IO_TIMEOUT for a request that had to be cancelled.
NTSTATUS CallLowerDevice(UsbDevice* usb, ULONG control_code, PVOID argument1);

// A zeroed URB of the given length from non-paged pool, or null.
PURB AllocateUrb(USHORT length, USHORT function);
VOID FreeUrb(PURB urb);
