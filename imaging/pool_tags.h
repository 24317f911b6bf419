// Pool tags of image processing: the per-pin processing record and its work buffer.
#pragma once

#include "platform/ddk.h"

inline constexpr ULONG kProcessorTag = MakePoolTag("CmPr");
inline constexpr ULONG kWorkBufferTag = MakePoolTag("CmWb");
