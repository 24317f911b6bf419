// CPU time of the threads that run driver code: each such thread is read through its own CPU
// clock while it lives, and its final figure is kept when it ends.
#include <pthread.h>
#include <time.h>

#include <mutex>
#include <unordered_map>

#include "platform/verifier.h"

namespace platform::verifier {

namespace {

struct CpuAccount {
    std::mutex lock;
    std::unordered_map<pthread_t, clockid_t> live;
    uint64_t ended_ns = 0;
};

// Never destroyed: a system thread may still end while the process exits.
CpuAccount& Account() {
    static CpuAccount* account = new CpuAccount;
    return *account;
}

uint64_t ClockNanoseconds(clockid_t clock) {
    timespec now{};
    if (clock_gettime(clock, &now) != 0)
        return 0;
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

}  // namespace

DriverThreadScope::DriverThreadScope() {
    clockid_t clock;
    if (pthread_getcpuclockid(pthread_self(), &clock) != 0)
        return;
    CpuAccount& account = Account();
    std::lock_guard<std::mutex> guard(account.lock);
    account.live[pthread_self()] = clock;
}

DriverThreadScope::~DriverThreadScope() {
    CpuAccount& account = Account();
    // Read under the lock, so that a reader never counts this thread twice or not at all.
    std::lock_guard<std::mutex> guard(account.lock);
    if (account.live.erase(pthread_self()) != 0)
        account.ended_ns += ClockNanoseconds(CLOCK_THREAD_CPUTIME_ID);
}

uint64_t DriverCpuNanoseconds() {
    CpuAccount& account = Account();
    // A live thread cannot end while the lock is held: its scope's end waits for it.
    std::lock_guard<std::mutex> guard(account.lock);
    uint64_t total = account.ended_ns;
    for (const auto& [thread, clock] : account.live)
        total += ClockNanoseconds(clock);
    return total;
}

}  // namespace platform::verifier
