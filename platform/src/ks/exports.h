// What ks.sys offers a driver image from the class-driver stand-in, by the names it is imported
// by. The image loader binds imports to these.
#pragma once

#include "platform/ks.h"

// One import a line. The formatter reflows a macro body of bare invocations differently on each
// pass, so the lists are kept out of its reach.
// clang-format off
#define PLATFORM_KS_EXPORTS(X)          \
    X(KsInitializeDriver)               \
    X(KsCreateFilterFactory)            \
    X(KsAcquireDevice)                  \
    X(KsReleaseDevice)                  \
    X(KsAddItemToObjectBag)             \
    X(KsGetDevice)                      \
    X(_KsEdit)                          \
    X(KsGetFilterFromIrp)               \
    X(KsPinAttemptProcessing)           \
    X(KsPinGetLeadingEdgeStreamPointer) \
    X(KsStreamPointerUnlock)            \
    X(KsPinGetReferenceClockInterface)
// clang-format on
