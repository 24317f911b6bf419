// Constants shared by the parts of the USB bus stand-in: pool tags, and the standard requests it
// carries on the default pipe.
#pragma once

#include "platform/ntdef.h"

namespace platform::usb {

inline constexpr auto& MakeTag = MakePoolTag;

inline constexpr ULONG kUrbTag = MakeTag("PUrb");
inline constexpr ULONG kPortTag = MakeTag("PPrt");

// The default pipe is endpoint 0; the trace tells its directions apart as usbmon does.
inline constexpr UCHAR kDefaultPipeOut = 0x00;
inline constexpr UCHAR kDefaultPipeIn = 0x80;

// bmRequestType of a standard request, by direction and recipient.
inline constexpr UCHAR kToDevice = 0x00;
inline constexpr UCHAR kFromDevice = 0x80;
inline constexpr UCHAR kToEndpoint = 0x02;

inline constexpr UCHAR kClearFeature = 0x01;
inline constexpr UCHAR kEndpointHalt = 0x00;  // the feature CLEAR_FEATURE clears on an endpoint
inline constexpr UCHAR kGetDescriptor = 0x06;
inline constexpr UCHAR kSetConfiguration = 0x09;

}  // namespace platform::usb
