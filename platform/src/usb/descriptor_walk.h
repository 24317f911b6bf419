// Bounds-safe walking of a configuration descriptor: every step stays inside wTotalLength and stops
// at a descriptor whose bLength is 0 or runs past the end.
#pragma once

#include "platform/usb.h"

namespace platform::usb {

class DescriptorWalk {
  public:
    // Walks [start, configuration + wTotalLength); an empty walk when start lies outside.
    DescriptorWalk(PUSB_CONFIGURATION_DESCRIPTOR configuration, const void* start);
    // The next whole descriptor, or null at the end or at a malformed descriptor.
    PUSB_COMMON_DESCRIPTOR Next();

  private:
    const UCHAR* position_;
    const UCHAR* end_;
};

// The endpoint descriptors that follow an interface descriptor, up to the next interface
// descriptor. Fills at most `capacity` entries and returns how many the interface has; false when
// the descriptor ends before bNumEndpoints endpoints were found.
bool InterfaceEndpoints(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                        PUSB_INTERFACE_DESCRIPTOR interface_descriptor,
                        PUSB_ENDPOINT_DESCRIPTOR* endpoints, ULONG capacity);

}  // namespace platform::usb
