// Where support code that runs without GoogleTest (the rig, which benchmarks use too) reports
// what went wrong: the test main makes each report a failure of the running test; anywhere else
// it goes to standard error.
#pragma once

#include <cstdio>
#include <string>

namespace camtest {

using FailureHandler = void (*)(const std::string& what);

inline FailureHandler& CurrentFailureHandler() {
    static FailureHandler handler = nullptr;
    return handler;
}

inline void SetFailureHandler(FailureHandler handler) {
    CurrentFailureHandler() = handler;
}

inline void ReportFailure(const std::string& what) {
    if (FailureHandler handler = CurrentFailureHandler())
        handler(what);
    else
        std::fprintf(stderr, "%s\n", what.c_str());
}

}  // namespace camtest
