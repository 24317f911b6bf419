// Driving the verifier's watch over 512-bit register use.
#pragma once

#include "platform/verifier.h"

// Repeats work until one of the watch's samples has found the 512-bit registers in use; the watch
// samples every few milliseconds of the thread's processor time. False if none ever did.
template <typename Work>
bool RunUntilSampledInUse(const platform::verifier::ExtendedStateWatch& watch, Work work) {
    for (int round = 0; round < 20000 && watch.InUseSamples() == 0; ++round)
        work();
    return watch.InUseSamples() != 0;
}
