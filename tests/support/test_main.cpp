// Test main: every test must free what it allocated from pool; a leak fails the test by tag, and so
// does what a helper reports. Each test starts with the stand-in's fault knobs off and no registry
// file.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/kernel.h"
#include "platform/registry_host.h"
#include "platform/verifier.h"
#include "tests/support/failure_report.h"

namespace {

class PoolLeakListener : public testing::EmptyTestEventListener {
  public:
    void OnTestStart(const testing::TestInfo&) override {
        mark_ = platform::verifier::AllocationMark();
    }
    void OnTestEnd(const testing::TestInfo&) override {
        for (const std::string& leak : platform::verifier::FindLeaks(mark_)) {
            ADD_FAILURE() << "pool leak: " << leak;
        }
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            ADD_FAILURE() << "the test's thread ends at IRQL " << (int)KeGetCurrentIrql();
        platform::verifier::ClearFaults();
        platform::registry::Reset();
    }

  private:
    uint64_t mark_ = 0;
};

void FailTheTest(const std::string& what) {
    ADD_FAILURE() << what;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    camtest::SetFailureHandler(FailTheTest);
    testing::UnitTest::GetInstance()->listeners().Append(new PoolLeakListener);
    const int result = RUN_ALL_TESTS();
    const platform::verifier::KernelStackUse stack = platform::verifier::DeepestKernelStackUse();
    if (stack.deepest != 0)
        std::printf("deepest kernel stack use: %zu of %zu bytes\n", stack.deepest, stack.size);
    return result;
}
