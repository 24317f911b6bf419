// Pool tags of the driver's allocations; the verifier reports leaks by these.
#pragma once

#include "platform/ddk.h"

// Packs four characters so that they read in order in a memory dump and in leak reports.
constexpr ULONG MakePoolTag(const char (&text)[5]) {
    return (ULONG)(UCHAR)text[0] | (ULONG)(UCHAR)text[1] << 8 | (ULONG)(UCHAR)text[2] << 16 |
           (ULONG)(UCHAR)text[3] << 24;
}

inline constexpr ULONG kCameraContextTag = MakePoolTag("CmCx");
inline constexpr ULONG kFilterContextTag = MakePoolTag("CmFl");
inline constexpr ULONG kPinContextTag = MakePoolTag("CmPn");
inline constexpr ULONG kPinDescriptorTag = MakePoolTag("CmPd");
inline constexpr ULONG kWorkerTag = MakePoolTag("CmWk");
inline constexpr ULONG kFrameBufferTag = MakePoolTag("CmFb");
inline constexpr ULONG kUsbTag = MakePoolTag("CmUs");
inline constexpr ULONG kTransferTag = MakePoolTag("CmTr");
inline constexpr ULONG kProcessorTag = MakePoolTag("CmPr");
inline constexpr ULONG kWorkBufferTag = MakePoolTag("CmWb");
