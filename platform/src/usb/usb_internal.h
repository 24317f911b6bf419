// Pool tags of the USB bus stand-in.
#pragma once

#include "platform/ntdef.h"

namespace platform::usb {

inline constexpr auto& MakeTag = MakePoolTag;

inline constexpr ULONG kUrbTag = MakeTag("PUrb");
inline constexpr ULONG kPortTag = MakeTag("PPrt");

}  // namespace platform::usb
