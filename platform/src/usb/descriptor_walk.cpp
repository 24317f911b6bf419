#include "descriptor_walk.h"

namespace platform::usb {

DescriptorWalk::DescriptorWalk(PUSB_CONFIGURATION_DESCRIPTOR configuration, const void* start)
    : position_(nullptr), end_(nullptr) {
    if (configuration == nullptr)
        return;
    auto* base = reinterpret_cast<const UCHAR*>(configuration);
    // wTotalLength is read bytewise: the descriptor may be shorter than its own header claims.
    const UCHAR* end = base + (base[2] | base[3] << 8);
    auto* from = start == nullptr ? base : static_cast<const UCHAR*>(start);
    if (from < base || from >= end)
        return;
    position_ = from;
    end_ = end;
}

PUSB_COMMON_DESCRIPTOR DescriptorWalk::Next() {
    if (position_ == nullptr || end_ - position_ < 2)
        return nullptr;
    UCHAR length = position_[0];
    if (length < 2 || length > end_ - position_) {
        position_ = nullptr;
        return nullptr;
    }
    auto* descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(position_));
    position_ += length;
    return descriptor;
}

bool InterfaceEndpoints(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                        PUSB_INTERFACE_DESCRIPTOR interface_descriptor,
                        PUSB_ENDPOINT_DESCRIPTOR* endpoints, ULONG capacity) {
    DescriptorWalk walk(configuration, interface_descriptor);
    if (walk.Next() == nullptr)
        return false;  // the interface descriptor itself
    ULONG found = 0;
    ULONG wanted = interface_descriptor->bNumEndpoints;
    while (found < wanted) {
        PUSB_COMMON_DESCRIPTOR descriptor = walk.Next();
        if (descriptor == nullptr || descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            return false;
        }
        if (descriptor->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
            descriptor->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            if (found < capacity)
                endpoints[found] = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(descriptor);
            found++;
        }
    }
    return true;
}

}  // namespace platform::usb
