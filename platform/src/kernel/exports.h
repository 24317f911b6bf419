// What ntoskrnl.exe offers a driver image from the kernel stand-in, by the names it is imported
// by. The image loader binds imports to these.
#pragma once

#include <cstddef>

#include "platform/kernel.h"

// One import a line. The formatter reflows a macro body of bare invocations differently on each
// pass, so the lists are kept out of its reach.

// Routines (and PsThreadType, a datum) whose name is the import's.
// clang-format off
#define PLATFORM_KERNEL_EXPORTS(X)       \
    X(ExAllocatePoolWithTag)             \
    X(ExFreePoolWithTag)                 \
    X(ExFreePool)                        \
    X(KeGetCurrentIrql)                  \
    X(KfRaiseIrql)                       \
    X(KeLowerIrql)                       \
    X(KeInitializeEvent)                 \
    X(KeSetEvent)                        \
    X(KeResetEvent)                      \
    X(KeClearEvent)                      \
    X(KeReadStateEvent)                  \
    X(KeInitializeMutex)                 \
    X(KeReleaseMutex)                    \
    X(KeWaitForSingleObject)             \
    X(KeDelayExecutionThread)            \
    X(KeAcquireSpinLockRaiseToDpc)       \
    X(KeReleaseSpinLock)                 \
    X(KeEnterCriticalRegion)             \
    X(KeLeaveCriticalRegion)             \
    X(ExInitializeRundownProtection)     \
    X(ExReInitializeRundownProtection)   \
    X(ExAcquireRundownProtection)        \
    X(ExReleaseRundownProtection)        \
    X(ExWaitForRundownProtectionRelease) \
    X(PsCreateSystemThread)              \
    X(PsTerminateSystemThread)           \
    X(ObReferenceObjectByHandle)         \
    X(ObfDereferenceObject)              \
    X(ZwWaitForSingleObject)             \
    X(ZwClose)                           \
    X(ExIsProcessorFeaturePresent)       \
    X(KeSaveExtendedProcessorState)      \
    X(KeRestoreExtendedProcessorState)   \
    X(PsThreadType)
// clang-format on

// The compiler's memory primitives, which a freestanding image calls for plain copies and clears
// and the kernel exports: the C library's own have the Linux convention, so these wrap them.
// clang-format off
#define PLATFORM_KERNEL_RUNTIME_EXPORTS(X)       \
    X("memcpy", platform::kernel::CopyMemory)    \
    X("memmove", platform::kernel::MoveMemory)   \
    X("memset", platform::kernel::FillMemory)    \
    X("memcmp", platform::kernel::CompareMemory)
// clang-format on

namespace platform::kernel {

void* NTAPI CopyMemory(void* destination, const void* source, size_t length);
void* NTAPI MoveMemory(void* destination, const void* source, size_t length);
void* NTAPI FillMemory(void* destination, int fill, size_t length);
int NTAPI CompareMemory(const void* a, const void* b, size_t length);

}  // namespace platform::kernel
