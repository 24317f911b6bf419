// Where support code that runs without GoogleTest (the rig, which benchmarks use too) reports
// what went wrong: the test main makes each report a failure of the running test; anywhere else
// it goes to standard error.
#pragma once

#include <string>

namespace camtest {

using FailureHandler = void (*)(const std::string& what);

void SetFailureHandler(FailureHandler handler);
void ReportFailure(const std::string& what);

}  // namespace camtest
