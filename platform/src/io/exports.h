// What ntoskrnl.exe offers a driver image from the I/O manager stand-in, by the names it is
// imported by. The image loader binds imports to these.
#pragma once

#include "platform/io.h"

// One import a line. The formatter reflows a macro body of bare invocations differently on each
// pass, so the lists are kept out of its reach.
// clang-format off
#define PLATFORM_IO_EXPORTS(X)       \
    X(IoAllocateMdl)                 \
    X(IoBuildPartialMdl)             \
    X(MmBuildMdlForNonPagedPool)     \
    X(IoFreeMdl)                     \
    X(IoAllocateIrp)                 \
    X(IoFreeIrp)                     \
    X(IofCallDriver)                 \
    X(IofCompleteRequest)            \
    X(IoCancelIrp)                   \
    X(IoAcquireCancelSpinLock)       \
    X(IoReleaseCancelSpinLock)       \
    X(IoBuildDeviceIoControlRequest) \
    X(IoSetCompletionRoutineEx)
// clang-format on
