// Pool tags of the USB bus stand-in.
#pragma once

#include "platform/ntdef.h"

namespace platform::usb {

constexpr ULONG MakeTag(const char (&text)[5]) {
    return (ULONG)(UCHAR)text[0] | (ULONG)(UCHAR)text[1] << 8 | (ULONG)(UCHAR)text[2] << 16 |
           (ULONG)(UCHAR)text[3] << 24;
}

inline constexpr ULONG kUrbTag = MakeTag("PUrb");
inline constexpr ULONG kPortTag = MakeTag("PPrt");

}  // namespace platform::usb
