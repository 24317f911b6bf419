// The verifier's violation record and its mode.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/verifier.h"

namespace platform::verifier {

namespace {

std::atomic<Mode> g_mode{Mode::kAbort};

std::mutex& RecordLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

// Never destroyed: a system thread may still raise a violation while the process exits.
std::vector<std::string>& Recorded() {
    static std::vector<std::string>* recorded = new std::vector<std::string>;
    return *recorded;
}

}  // namespace

void SetMode(Mode mode) {
    g_mode.store(mode);
}

Mode GetMode() {
    return g_mode.load();
}

void Violation(const std::string& message) {
    if (g_mode.load() == Mode::kAbort) {
        std::fprintf(stderr, "verifier: %s\n", message.c_str());
        std::fflush(stderr);
        std::abort();
    }
    std::lock_guard<std::mutex> guard(RecordLock());
    Recorded().push_back(message);
}

std::vector<std::string> TakeViolations() {
    std::lock_guard<std::mutex> guard(RecordLock());
    std::vector<std::string> taken;
    taken.swap(Recorded());
    return taken;
}

std::string TagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        // Unprintable bytes would garble a one-line report.
        name.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return name;
}

}  // namespace platform::verifier
