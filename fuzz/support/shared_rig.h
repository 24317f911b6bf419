// One rig for the whole fuzzing run: standing the device up for every input would cost far more
// than the input itself. A small capture geometry keeps frames cheap.
#pragma once

#include "tests/support/rig.h"

namespace camfuzz {

inline camtest::RigOptions SmallRigOptions() {
    camtest::RigOptions options;
    options.width = 64;
    options.height = 48;
    options.kept_frames = 0;
    options.buffers = 0;
    options.frame_timeout_ms = 1000;
    return options;
}

// Made at the first input, with the filter open; never taken down, as the process ends with the
// run.
inline camtest::Rig& SharedRig() {
    static camtest::Rig* rig = new camtest::Rig(SmallRigOptions());
    return *rig;
}

}  // namespace camfuzz
