// Pool tags of the USB transport: configuration state and requests, and the frame read's transfers.
#pragma once

#include "platform/ddk.h"

inline constexpr ULONG kUsbTag = MakePoolTag("CmUs");
inline constexpr ULONG kTransferTag = MakePoolTag("CmTr");
