// A fixture whose violations are recorded instead of aborting, so that tests can check them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/verifier.h"

class RecordMode : public testing::Test {
  protected:
    void SetUp() override {
        platform::verifier::SetMode(platform::verifier::Mode::kRecord);
        platform::verifier::TakeViolations();
    }
    void TearDown() override {
        std::vector<std::string> left = platform::verifier::TakeViolations();
        platform::verifier::SetMode(platform::verifier::Mode::kAbort);
        for (const std::string& violation : left) {
            ADD_FAILURE() << "unexpected violation: " << violation;
        }
    }

    // Takes the violations raised so far, requiring exactly one that contains every fragment.
    static void ExpectOneViolation(const std::vector<std::string>& fragments) {
        std::vector<std::string> raised = platform::verifier::TakeViolations();
        ASSERT_EQ(raised.size(), 1u) << (raised.empty() ? "none" : raised.front());
        for (const std::string& fragment : fragments) {
            EXPECT_NE(raised[0].find(fragment), std::string::npos)
                << "'" << fragment << "' not in: " << raised[0];
        }
    }
    static void ExpectNoViolation() {
        std::vector<std::string> raised = platform::verifier::TakeViolations();
        EXPECT_TRUE(raised.empty()) << raised.front();
    }
};

constexpr ULONG TestTag(const char (&text)[5]) {
    return (ULONG)(UCHAR)text[0] | (ULONG)(UCHAR)text[1] << 8 | (ULONG)(UCHAR)text[2] << 16 |
           (ULONG)(UCHAR)text[3] << 24;
}
