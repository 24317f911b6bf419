// A scratch folder named after the running test, removed when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/scratch_folder.h"

namespace camtest {

class ScratchDir : public ScratchFolder {
  public:
    ScratchDir() : ScratchFolder(TestName()) {}

  private:
    static std::string TestName() {
        const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
        return std::string(test->test_suite_name()) + "." + test->name();
    }
};

}  // namespace camtest
