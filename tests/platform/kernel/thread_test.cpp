// System threads: start, join through the thread object, termination, references and handles.
#include <time.h>

#include <atomic>
#include <thread>

#include "handles.h"
#include "platform/kernel.h"
#include "tests/support/record_mode.h"

namespace {

using namespace platform::verifier;

struct Work {
    KEVENT go;
    std::atomic<int> stage{0};
    KIRQL irql_seen = 0xFF;
};

void NTAPI WaitForGoThenFinish(PVOID context) {
    auto* work = (Work*)context;
    work->irql_seen = KeGetCurrentIrql();
    work->stage = 1;
    KeWaitForSingleObject(&work->go, Executive, KernelMode, FALSE, nullptr);
    work->stage = 2;
}

// Starts a thread and returns a referenced pointer to its object, the handle already closed.
PVOID Start(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine,
                                   context),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                        &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    return thread;
}

void Join(PVOID thread) {
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
}

TEST(SystemThread, RunsAtPassiveLevelAndIsJoinedByWaitingOnItsObject) {
    Work work;
    KeInitializeEvent(&work.go, NotificationEvent, FALSE);
    PVOID thread = Start(WaitForGoThenFinish, &work);
    EXPECT_EQ(((DISPATCHER_HEADER*)thread)->Type, ThreadObject);

    LARGE_INTEGER timeout;
    timeout.QuadPart = -20 * 10000LL;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(work.stage.load(), 1);
    EXPECT_EQ(work.irql_seen, PASSIVE_LEVEL);

    KeSetEvent(&work.go, 0, FALSE);
    Join(thread);
    EXPECT_EQ(work.stage.load(), 2);
}

void FinishDeepInside(int depth, Work* work) {
    if (depth == 0) {
        work->stage = 1;
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    FinishDeepInside(depth - 1, work);
    work->stage = 99;
}

void NTAPI TerminateFromANestedCall(PVOID context) {
    auto* work = (Work*)context;
    FinishDeepInside(5, work);
    work->stage = 100;
}

TEST(SystemThread, TerminateEndsTheThreadFromAnyDepth) {
    Work work;
    Join(Start(TerminateFromANestedCall, &work));
    EXPECT_EQ(work.stage.load(), 1);
}

void NTAPI Nothing(PVOID) {}

TEST(SystemThread, AReferenceNeverDroppedIsALeak) {
    uint64_t mark = AllocationMark();
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Nothing,
                                   nullptr),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    // The thread has ended, but the handle and the reference keep its object.
    std::vector<std::string> leaks = FindLeaks(mark);
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_EQ(leaks[0].rfind("1 block of tag PThr, ", 0), 0u) << leaks[0];
    ZwClose(handle);
    EXPECT_EQ(FindLeaks(mark), leaks);
    EXPECT_EQ(ObDereferenceObject(thread), 0);
    EXPECT_TRUE(FindLeaks(mark).empty());
}

TEST(SystemThread, CreationFailsCleanlyWhenPoolRunsOut) {
    uint64_t mark = AllocationMark();
    uint64_t failures = InjectedFailures();
    FailNthAllocation(1);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Nothing,
                                   nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(InjectedFailures(), failures + 1);
    EXPECT_TRUE(FindLeaks(mark).empty());
}

uint64_t ThreadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

constexpr uint64_t kBurnNs = 30'000'000;

void Burn() {
    const uint64_t start = ThreadCpuNanoseconds();
    while (ThreadCpuNanoseconds() - start < kBurnNs) {
    }
}

void NTAPI BurnThenWaitThenTerminate(PVOID context) {
    auto* work = (Work*)context;
    Burn();
    work->stage = 1;
    KeWaitForSingleObject(&work->go, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// A system thread's CPU counts while it lives and after it has ended, as a system thread's; the
// caller's own does not.
TEST(SystemThread, ItsCpuTimeIsTheDriversAndTheCallersIsNot) {
    const uint64_t before = DriverCpuNanoseconds();
    Burn();
    EXPECT_LT(DriverCpuNanoseconds() - before, kBurnNs);

    Work work;
    KeInitializeEvent(&work.go, NotificationEvent, FALSE);
    const uint64_t start = DriverCpuNanoseconds();
    const uint64_t system_start = DriverCpuNanoseconds(DriverThread::kSystem);
    const uint64_t processing = DriverCpuNanoseconds(DriverThread::kProcessing);
    PVOID thread = Start(BurnThenWaitThenTerminate, &work);
    while (work.stage.load() == 0)
        std::this_thread::yield();
    EXPECT_GE(DriverCpuNanoseconds() - start, kBurnNs);
    KeSetEvent(&work.go, 0, FALSE);
    Join(thread);
    EXPECT_GE(DriverCpuNanoseconds() - start, kBurnNs);
    EXPECT_GE(DriverCpuNanoseconds(DriverThread::kSystem) - system_start, kBurnNs);
    EXPECT_EQ(DriverCpuNanoseconds(DriverThread::kProcessing), processing);
}

class ThreadVerifier : public RecordMode {};

TEST_F(ThreadVerifier, ObjectServicesKeepTheirIrqlLimits) {
    HANDLE handle = nullptr;
    KIRQL old_irql;
    KeRaiseIrql(APC_LEVEL, &old_irql);
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Nothing,
                                   nullptr),
              STATUS_SUCCESS);
    ExpectOneViolation({"PsCreateSystemThread at IRQL 1"});
    PVOID thread = nullptr;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr);
    ExpectOneViolation({"ObReferenceObjectByHandle at IRQL 1"});
    ZwClose(handle);
    ExpectOneViolation({"ZwClose at IRQL 1"});
    KeLowerIrql(old_irql);
    ASSERT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    // Dropping a reference is allowed up to DISPATCH_LEVEL.
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    ObDereferenceObject(thread);
    KeLowerIrql(old_irql);
    ExpectNoViolation();
}

void NTAPI EndHoldingASpinLock(PVOID context) {
    KeAcquireSpinLockRaiseToDpc((PKSPIN_LOCK)context);
}
void NTAPI EndAtApcLevel(PVOID) {
    KIRQL old_irql;
    KeRaiseIrql(APC_LEVEL, &old_irql);
}
void NTAPI EndInsideACriticalRegion(PVOID) {
    KeEnterCriticalRegion();
}

TEST_F(ThreadVerifier, EndingInARaisedStateIsAViolation) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    Join(Start(EndHoldingASpinLock, &lock));
    std::vector<std::string> raised = TakeViolations();
    ASSERT_EQ(raised.size(), 2u);
    EXPECT_NE(raised[0].find("holding 1 spin lock"), std::string::npos) << raised[0];
    EXPECT_NE(raised[1].find("IRQL 2"), std::string::npos) << raised[1];

    Join(Start(EndAtApcLevel, nullptr));
    ExpectOneViolation({"ended at IRQL 1"});
    Join(Start(EndInsideACriticalRegion, nullptr));
    ExpectOneViolation({"critical region"});
}

TEST_F(ThreadVerifier, HandlesAndReferencesAreChecked) {
    EXPECT_EQ(ZwClose((HANDLE)(ULONG_PTR)0x1234), STATUS_INVALID_HANDLE);
    ExpectOneViolation({"ZwClose"});
    PVOID object = (PVOID)0x1;
    EXPECT_EQ(ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)0x1234, SYNCHRONIZE, nullptr, KernelMode,
                                        &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(object, nullptr);
    int not_an_object = 0;
    ObDereferenceObject(&not_an_object);
    ExpectOneViolation({"ObfDereferenceObject"});

    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Nothing,
                                   nullptr),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    ExpectOneViolation({"ZwClose"});
    Join(thread);
}

int g_closed = 0;
void CountClose(void* object) {
    g_closed += *(int*)object;
}
void OtherKind(void*) {}

TEST_F(ThreadVerifier, OtherObjectsShareTheHandleTable) {
    int weight = 5;
    g_closed = 0;
    HANDLE handle = platform::kernel::InsertHandle(&weight, CountClose);
    EXPECT_EQ(platform::kernel::ObjectFromHandle(handle, CountClose), &weight);
    EXPECT_EQ(platform::kernel::ObjectFromHandle(handle, OtherKind), nullptr);
    PVOID object = nullptr;
    EXPECT_NE(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(g_closed, 5);
    EXPECT_EQ(platform::kernel::ObjectFromHandle(handle, CountClose), nullptr);
    ExpectNoViolation();
}

}  // namespace
