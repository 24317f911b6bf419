// Host side of the kernel-streaming class-driver stand-in: loading the driver and the life of its
// devices, as the plug-and-play manager and the class driver would drive them. Not for the driver.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ks.h"

namespace platform::ks {

// Calls the driver's entry with a driver object and a registry path; the entry is expected to hand
// its device descriptor to KsInitializeDriver. Returns the entry's status. One driver at a time.
// `image`, when given, is what the entry's code lives in (a loaded driver image): it is kept until
// the driver is unloaded, or dropped at once when the entry fails.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE driver_entry, std::shared_ptr<const void> image = nullptr);
// Unloads the driver: every device must be gone. The verifier reports, by tag, every pool block
// allocated since LoadDriver that is still outstanding; returns the number of leaked blocks.
size_t UnloadDriver();

// Creates a device as the plug-and-play manager would: a physical device object, a functional
// device object attached above `next_device` (the lower device, such as a USB bus port; null gives
// a placeholder device object that fails every request) and the KSDEVICE, then calls the
// descriptor's Add. On failure the device is torn down again and null returned, with the status in
// *status.
PKSDEVICE CreateDevice(PDEVICE_OBJECT next_device, NTSTATUS* status);
// Start and Stop callbacks, as the plug-and-play start and stop requests call them. A successful
// Start marks the device started; Stop clears the mark and removes the filter factories that were
// created with KSCREATE_ITEM_FREEONSTOP.
NTSTATUS StartDevice(PKSDEVICE device);
void StopDevice(PKSDEVICE device);
// Removes the device: frees its object bag (each item through its free routine) and its device
// objects. When it was the last device, the verifier reports every pool block allocated since the
// first of the live devices was created that is still outstanding; returns that count.
size_t RemoveDevice(PKSDEVICE device);

// What a client sees of a registered filter factory.
struct FilterFactoryInfo {
    const KSFILTER_DESCRIPTOR* descriptor;
    std::u16string reference_string;
    ULONG create_item_flags;
};
// The filter factories currently registered on the device, in creation order.
std::vector<FilterFactoryInfo> FilterFactories(PKSDEVICE device);

}  // namespace platform::ks
