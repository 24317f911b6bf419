// Pool tags of the driver's own records and frame buffers; the verifier reports leaks by these.
#pragma once

#include "platform/ddk.h"

inline constexpr ULONG kCameraContextTag = MakePoolTag("CmCx");
inline constexpr ULONG kFilterContextTag = MakePoolTag("CmFl");
inline constexpr ULONG kPinContextTag = MakePoolTag("CmPn");
inline constexpr ULONG kPinDescriptorTag = MakePoolTag("CmPd");
inline constexpr ULONG kWorkerTag = MakePoolTag("CmWk");
inline constexpr ULONG kFrameBufferTag = MakePoolTag("CmFb");
