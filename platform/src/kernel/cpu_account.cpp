// CPU time of the threads that run driver code: each such thread is read through its own CPU
// clock while it lives, and its final figure is kept when it ends.
#include <pthread.h>
#include <time.h>

#include <mutex>
#include <unordered_map>

#include "platform/verifier.h"

namespace platform::verifier {

namespace {

constexpr size_t kKinds = 2;

struct LiveThread {
    clockid_t clock;
    DriverThread kind;
};

struct CpuAccount {
    std::mutex lock;
    std::unordered_map<pthread_t, LiveThread> live;
    uint64_t ended_ns[kKinds] = {};
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

DriverThreadScope::DriverThreadScope(DriverThread kind) {
    clockid_t clock;
    if (pthread_getcpuclockid(pthread_self(), &clock) != 0)
        return;
    CpuAccount& account = Account();
    std::lock_guard<std::mutex> guard(account.lock);
    account.live[pthread_self()] = {clock, kind};
}

DriverThreadScope::~DriverThreadScope() {
    CpuAccount& account = Account();
    // Read under the lock, so that a reader never counts this thread twice or not at all.
    std::lock_guard<std::mutex> guard(account.lock);
    auto found = account.live.find(pthread_self());
    if (found != account.live.end()) {
        account.ended_ns[(size_t)found->second.kind] += ClockNanoseconds(CLOCK_THREAD_CPUTIME_ID);
        account.live.erase(found);
    }
}

uint64_t DriverCpuNanoseconds() {
    return DriverCpuNanoseconds(DriverThread::kSystem) +
           DriverCpuNanoseconds(DriverThread::kProcessing);
}

uint64_t DriverCpuNanoseconds(DriverThread kind) {
    CpuAccount& account = Account();
    // A live thread cannot end while the lock is held: its scope's end waits for it.
    std::lock_guard<std::mutex> guard(account.lock);
    uint64_t total = account.ended_ns[(size_t)kind];
    for (const auto& [thread, live] : account.live) {
        if (live.kind == kind)
            total += ClockNanoseconds(live.clock);
    }
    return total;
}

}  // namespace platform::verifier
