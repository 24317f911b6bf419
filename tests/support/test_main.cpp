// Test main: every test must free what it allocated from pool; a leak fails the test by tag, and so
// does what a helper reports. Each test starts with the stand-in's fault knobs off and no registry
// file.
#include <gtest/gtest.h>

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
    return RUN_ALL_TESTS();
}
