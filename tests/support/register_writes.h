// The sensor register writes the camera received, as number and value, taken in turns.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/sim_camera.h"

namespace camtest {

struct Write {
    uint32_t number;
    uint32_t value;
    bool operator==(const Write&) const = default;
};

// The register writes since the camera's records were last cleared; clears them.
inline std::vector<Write> TakeWrites(sim::SimCamera& camera) {
    std::vector<Write> writes;
    for (const sim::RegisterWrite& write : camera.records().RegisterWrites())
        writes.push_back({write.number, write.value});
    camera.records().Clear();
    return writes;
}

}  // namespace camtest
