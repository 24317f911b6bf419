// The state walk as CI runs it: a thousand steps from a fixed seed. scripts/soak runs it long
// (CAM_WALK_STEPS, CAM_WALK_SEED) and has it print what it covered (CAM_WALK_COVERAGE=1); a seed
// that failed walks the same way again.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/e2e/state_walk.h"

namespace {

uint64_t EnvNumber(const char* name, uint64_t otherwise) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : otherwise;
}

TEST(StateWalkTest, EveryStepAnswersAsTheContractSaysAndLeavesNothingBehind) {
    const uint64_t seed = EnvNumber("CAM_WALK_SEED", 1);
    const uint64_t steps = EnvNumber("CAM_WALK_STEPS", 1000);
    bool ok = false;
    std::string failure;
    std::string coverage;
    {
        camtest::StateWalk walk(seed);
        ok = walk.Run(steps);
        failure = walk.failure();
        coverage = walk.Coverage();
    }
    if (EnvNumber("CAM_WALK_COVERAGE", 0) != 0)
        std::printf("%s", coverage.c_str());
    EXPECT_TRUE(ok) << failure << "\nagain: CAM_WALK_SEED=" << seed << " CAM_WALK_STEPS=" << steps;
}

}  // namespace
