// How long a test waits for something that must happen before it calls it a hang.
#pragma once

#include <cstdint>

namespace camtest {

// Far beyond any frame's time under a sanitizer on a loaded machine, so that only a real hang
// reaches it; never a measure of speed.
inline constexpr uint32_t kHangGuardMs = 120000;

}  // namespace camtest
