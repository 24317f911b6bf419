// Events, time-outs, delays and time.
#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "tests/support/record_mode.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr LONGLONG kOneMillisecond = 10000;

LARGE_INTEGER Relative(int ms) {
    LARGE_INTEGER value;
    value.QuadPart = -ms * kOneMillisecond;
    return value;
}

LARGE_INTEGER Absolute(int ms_from_now) {
    LARGE_INTEGER value;
    KeQuerySystemTime(&value);
    value.QuadPart += ms_from_now * kOneMillisecond;
    return value;
}

milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Polls until `done` or about a second has gone; for waiting on other threads without a fixed
// sleep.
template <typename Done>
bool Eventually(Done done) {
    auto until = Clock::now() + std::chrono::seconds(1);
    while (!done()) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

TEST(Events, TimeOutsReallyWait) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    auto start = Clock::now();
    LARGE_INTEGER relative = Relative(40);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative),
              STATUS_TIMEOUT);
    EXPECT_GE(Since(start), milliseconds(40));
    EXPECT_LT(Since(start), milliseconds(2000));

    start = Clock::now();
    LARGE_INTEGER absolute = Absolute(40);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);
    // The system clock and the steady clock may differ slightly; the wait is still about as long.
    EXPECT_GE(Since(start), milliseconds(35));
    EXPECT_LT(Since(start), milliseconds(2000));

    // An absolute time already past, and a zero time-out, only poll.
    start = Clock::now();
    LARGE_INTEGER past = Absolute(-1000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_LT(Since(start), milliseconds(500));
}

TEST(Events, SetWakesAWaiterBeforeItsTimeOut) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(20));
        KeSetEvent(&event, 0, FALSE);
    });
    auto start = Clock::now();
    LARGE_INTEGER timeout = Relative(5000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    EXPECT_LT(Since(start), milliseconds(4000));
    setter.join();
    // The satisfied wait consumed the signal.
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Events, StateOperationsReturnThePreviousState) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Events, NotificationStaysSignalledAndReleasesEveryWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) ==
                STATUS_SUCCESS) {
                ++released;
            }
        });
    }
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(released.load(), 0);
    KeSetEvent(&event, 0, FALSE);
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

TEST(Events, SynchronizationReleasesExactlyOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            LARGE_INTEGER timeout = Relative(5000);
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) ==
                STATUS_SUCCESS) {
                ++released;
            }
        });
    }
    std::this_thread::sleep_for(milliseconds(20));
    for (int expected = 1; expected <= 3; ++expected) {
        KeSetEvent(&event, 0, FALSE);
        EXPECT_TRUE(Eventually([&] { return released.load() >= expected; }));
        // Give any wrongly woken second waiter time to show itself.
        std::this_thread::sleep_for(milliseconds(30));
        EXPECT_EQ(released.load(), expected);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    }
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
    // With nobody waiting the signal stays until one poll takes it.
    KeSetEvent(&event, 0, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(Delays, RelativeAndAbsoluteIntervalsReallySleep) {
    auto start = Clock::now();
    LARGE_INTEGER relative = Relative(30);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &relative), STATUS_SUCCESS);
    EXPECT_GE(Since(start), milliseconds(30));

    start = Clock::now();
    LARGE_INTEGER absolute = Absolute(30);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &absolute), STATUS_SUCCESS);
    EXPECT_GE(Since(start), milliseconds(25));
    EXPECT_LT(Since(start), milliseconds(2000));
}

TEST(Time, SystemTimeCountsFrom1601AndInterruptTimeIsMonotonic) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    // 11644473600 seconds lie between 1601 and 1970.
    LONGLONG seconds_since_1601 = now.QuadPart / 10000000;
    LONGLONG expected = (LONGLONG)std::time(nullptr) + 11644473600LL;
    EXPECT_LE(std::llabs(seconds_since_1601 - expected), 2);

    ULONGLONG first = KeQueryInterruptTime();
    LARGE_INTEGER delay = Relative(10);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    ULONGLONG second = KeQueryInterruptTime();
    EXPECT_GE(second - first, (ULONGLONG)(10 * kOneMillisecond));
}

TEST(Mutexes, TheOwnerReentersAndOthersWaitForItsLastRelease) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        LARGE_INTEGER zero{};
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero),
                  STATUS_TIMEOUT);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_FALSE(acquired);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    other.join();
    EXPECT_TRUE(acquired);
}

TEST(Mutexes, ExcludeEachOtherAcrossThreads) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    int counter = 0;  // plain on purpose: only the mutex keeps the increments whole
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
                counter = counter + 1;
                KeReleaseMutex(&mutex, FALSE);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 8000);
}

class DispatcherVerifier : public RecordMode {};

TEST_F(DispatcherVerifier, AMutexReleasedByAThreadThatDoesNotOwnItIsAViolation) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    ExpectOneViolation({"KeReleaseMutex", "does not own"});
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    std::thread([&] { KeReleaseMutex(&mutex, FALSE); }).join();
    ExpectOneViolation({"KeReleaseMutex", "does not own"});
    KeReleaseMutex(&mutex, FALSE);
    ExpectNoViolation();
}

TEST_F(DispatcherVerifier, WaitingOnSomethingElseIsAViolation) {
    DISPATCHER_HEADER not_waitable{};
    not_waitable.Type = 9;
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&not_waitable, Executive, KernelMode, FALSE, &zero),
              STATUS_INVALID_PARAMETER);
    ExpectOneViolation({"not an event, a mutex or a thread"});
    KeSetEvent((PRKEVENT)&not_waitable, 0, FALSE);
    ExpectOneViolation({"KeSetEvent", "not an event"});
}

}  // namespace
