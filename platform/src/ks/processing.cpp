// Processing: KsPinAttemptProcessing and the pin's processing thread. A pin's Process dispatch runs
// at PASSIVE_LEVEL, one call at a time, and only while the pin runs.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ks_objects.h"
#include "platform/verifier.h"

namespace platform::ks::internal {
namespace {

decltype(KSPIN_DISPATCH::Process) ProcessOf(client::Pin* pin) {
    const KSPIN_DESCRIPTOR_EX* descriptor = pin->pin.Descriptor;
    if (descriptor == nullptr || descriptor->Dispatch == nullptr)
        return nullptr;
    return descriptor->Dispatch->Process;
}

// One Process call, with the checks the verifier makes around it. The status is not used: the
// driver asks for each pass it wants (its pin does not let the class driver start processing).
void RunProcess(client::Pin* pin) {
    auto process = ProcessOf(pin);
    if (process == nullptr)
        return;
    if (pin->processing.inside.fetch_add(1) != 0)
        verifier::Violation("two Process calls at once on one pin");
    process(&pin->pin);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        verifier::Violation("Process returned at IRQL " + std::to_string(KeGetCurrentIrql()));
    CheckUnlockedAfterProcess(pin);
    pin->processing.inside.fetch_sub(1);
}

// Deferred processing yields to the I/O path. On the platform the bus's completions are interrupt
// work and the camera is hardware; here they are threads, as is the driver's capture thread, and on
// a small machine a conversion running beside them would delay every command of the next frame.
// A pass has a whole frame time to finish, so it can wait.
constexpr int kProcessingNice = 10;

void ProcessingThread(client::Pin* pin) {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kProcessingNice);
    verifier::DriverThreadScope counted(verifier::DriverThread::kProcessing);
    Processing& processing = pin->processing;
    std::unique_lock<std::mutex> lock(processing.mutex);
    for (;;) {
        processing.changed.wait(
            lock, [&] { return processing.quit || (processing.requested && !processing.running); });
        if (processing.quit)
            return;
        processing.requested = false;
        processing.running = true;
        lock.unlock();
        RunProcess(pin);
        lock.lock();
        processing.running = false;
        processing.changed.notify_all();
    }
}

}  // namespace

void StartProcessing(client::Pin* pin) {
    if (!pin->processing.thread.Start([pin] { ProcessingThread(pin); }))
        platform::verifier::Violation("no thread could be started to process a pin");
}

void StopProcessing(client::Pin* pin) {
    Processing& processing = pin->processing;
    {
        std::lock_guard<std::mutex> guard(processing.mutex);
        processing.quit = true;
        processing.open = false;
        processing.requested = false;
    }
    processing.changed.notify_all();
    if (processing.thread.Joinable())
        processing.thread.Join();
    WaitProcessingIdle(pin);
}

void SetProcessingOpen(client::Pin* pin, bool open) {
    Processing& processing = pin->processing;
    std::lock_guard<std::mutex> guard(processing.mutex);
    processing.open = open;
    if (!open)
        processing.requested = false;
}

void WaitProcessingIdle(client::Pin* pin) {
    Processing& processing = pin->processing;
    std::unique_lock<std::mutex> lock(processing.mutex);
    processing.changed.wait(lock, [&] { return !processing.running; });
}

// A call in progress, a caller that asked for asynchronous processing, or one that may not
// block hands the request to the thread; otherwise the call runs in the caller.
void AttemptProcessing(client::Pin* pin, bool asynchronous) {
    Processing& processing = pin->processing;
    std::unique_lock<std::mutex> lock(processing.mutex);
    if (!processing.open || processing.quit)
        return;
    if (asynchronous || processing.running || KeGetCurrentIrql() != PASSIVE_LEVEL) {
        processing.requested = true;
        processing.changed.notify_all();
        return;
    }
    processing.running = true;
    lock.unlock();
    RunProcess(pin);
    lock.lock();
    processing.running = false;
    processing.changed.notify_all();
}

}  // namespace platform::ks::internal

VOID NTAPI KsPinAttemptProcessing(PKSPIN ks_pin, BOOLEAN asynchronous) {
    platform::ks::client::Pin* pin = platform::ks::internal::PinOfObject(ks_pin);
    if (pin == nullptr) {
        platform::verifier::Violation("KsPinAttemptProcessing: not a live pin");
        return;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        platform::verifier::Violation("KsPinAttemptProcessing above DISPATCH_LEVEL");
        return;
    }
    platform::ks::internal::AttemptProcessing(pin, asynchronous != FALSE);
}
