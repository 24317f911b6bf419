#include "tests/support/failure_report.h"

#include <cstdio>

namespace camtest {
namespace {

void ToStandardError(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
}

FailureHandler g_handler = ToStandardError;

}  // namespace

void SetFailureHandler(FailureHandler handler) {
    g_handler = handler != nullptr ? handler : ToStandardError;
}

void ReportFailure(const std::string& what) {
    g_handler(what);
}

}  // namespace camtest
