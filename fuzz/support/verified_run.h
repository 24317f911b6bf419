// What every target holds to after each input: nothing the rig or a check reports, no pool block
// left behind, no verifier finding (the verifier aborts on its own). Any of them aborts, so that
// libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/verifier.h"
#include "tests/support/failure_report.h"

namespace camfuzz {

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
    std::abort();
}

// Opened around the handling of one input.
class VerifiedRun {
  public:
    VerifiedRun() : mark_(platform::verifier::AllocationMark()) {
        platform::verifier::SetMode(platform::verifier::Mode::kAbort);
        camtest::SetFailureHandler(&Fail);
    }
    ~VerifiedRun() {
        for (const std::string& leak : platform::verifier::FindLeaks(mark_))
            Fail("pool leak: " + leak);
        platform::verifier::ClearFaults();
    }
    VerifiedRun(const VerifiedRun&) = delete;
    VerifiedRun& operator=(const VerifiedRun&) = delete;

  private:
    uint64_t mark_;
};

// Checks an invariant of the system under test.
inline void Require(bool holds, const std::string& what) {
    if (!holds)
        Fail(what);
}

}  // namespace camfuzz
