#include "tools/camctl/stop_signal.h"

#include <atomic>
#include <csignal>

namespace camctl {
namespace {

std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void RequestStop(int signal_number) {
    stop_signal = signal_number;
}

}  // namespace

void CatchStopSignals() {
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() {
    return stop_signal != 0;
}

int StopSignal() {
    return stop_signal;
}

int StoppedStatus() {
    return 128 + stop_signal;
}

}  // namespace camctl
