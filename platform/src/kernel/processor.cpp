// Processor features and the extended-state save that kernel code brackets 256- and 512-bit work
// with; the verifier's fault injection for both, and its watch over unsaved 512-bit use.
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kernel_internal.h"
#include "platform/verifier.h"

namespace {

using platform::verifier::ExtendedStateSave;

constexpr ULONG64 kSaveMagic = 0x5853415645535441ULL;  // marks a live save record
constexpr size_t kSaveLogLength = 64;

// What 512-bit work must have saved: its registers' low halves are the 256-bit ones.
constexpr ULONG64 kWideSaveNeeded = XSTATE_MASK_AVX | XSTATE_MASK_AVX512;

struct Faults {
    std::mutex lock;
    std::set<ULONG> hidden_features;
    std::deque<ExtendedStateSave> log;
};

Faults& TheFaults() {
    // Never destroyed: system threads may still save state while the process exits.
    static Faults* faults = new Faults;
    return *faults;
}

std::atomic<ULONG64> g_failing_saves{0};

// The live saves of the calling thread, oldest first.
struct ExtendedState {
    std::vector<PXSTATE_SAVE> saves;
};

ExtendedState& CurrentExtendedState() {
    thread_local ExtendedState state;
    return state;
}

// The union of the masks of the thread's live saves, which the watch's signal reads.
thread_local volatile ULONG64 t_saved_mask = 0;

bool ProcessorHas(ULONG processor_feature) {
    switch (processor_feature) {
        case PF_AVX_INSTRUCTIONS_AVAILABLE:
            return __builtin_cpu_supports("avx");
        case PF_AVX2_INSTRUCTIONS_AVAILABLE:
            return __builtin_cpu_supports("avx2");
        case PF_AVX512F_INSTRUCTIONS_AVAILABLE:
            return __builtin_cpu_supports("avx512f");
        default:
            return false;
    }
}

bool FeatureHidden(ULONG processor_feature) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> guard(faults.lock);
    return faults.hidden_features.count(processor_feature) != 0;
}

// The state components the system saves for kernel code.
ULONG64 EnabledStateMask() {
    ULONG64 mask = XSTATE_MASK_AVX;
    if (ExIsProcessorFeaturePresent(PF_AVX512F_INSTRUCTIONS_AVAILABLE))
        mask |= XSTATE_MASK_AVX512;
    return mask;
}

// The registers really are saved and restored, as the system does: code after a restore then
// runs with the state it had before the save, whatever the bracketed work left in the registers.
struct StateArea {
    bool usable;  // the system has enabled the save instructions
    size_t size;  // bytes of a save area for every enabled component
};

const StateArea& TheStateArea() {
    static const StateArea area = [] {
        unsigned int eax = 0;
        unsigned int ebx = 0;
        unsigned int ecx = 0;
        unsigned int edx = 0;
        if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0)
            return StateArea{false, 0};
        __get_cpuid_count(0xD, 0, &eax, &ebx, &ecx, &edx);
        return StateArea{true, ((size_t)ebx + 63) & ~(size_t)63};
    }();
    return area;
}

__attribute__((target("xsave"))) void* SaveRegisters(ULONG64 mask) {
    const StateArea& area = TheStateArea();
    if (!area.usable)
        return nullptr;
    void* memory = std::aligned_alloc(64, area.size);
    if (memory == nullptr)
        return nullptr;
    std::memset(memory, 0, area.size);  // the header's reserved bytes must read zero on restore
    _xsave(memory, mask);
    return memory;
}

__attribute__((target("xsave"))) void RestoreRegisters(void* memory, ULONG64 mask) {
    if (memory == nullptr)
        return;
    _xrstor(memory, mask);
    std::free(memory);
}

void LogSave(ULONG64 mask, bool succeeded) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> guard(faults.lock);
    faults.log.push_back({mask, succeeded});
    if (faults.log.size() > kSaveLogLength)
        faults.log.pop_front();
}

// ---- The watch ----------------------------------------------------------------------------
//
// A timer on the watched thread's own processor time interrupts it as it runs; the signal frame
// holds the interrupted register state, whose header says which state components were in use.
// The upper halves of the first sixteen 512-bit registers are in use only while code works in
// 512-bit registers: optimised code clears them (vzeroupper) before it calls or returns, the C
// library's wide routines keep to the other sixteen registers for that reason, and unoptimised
// code that leaves them in use is set back by the restore that ends its save. So a sample that
// finds them in use without a live save of their state is unsaved 512-bit work.

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define CAM_WATCH_SAMPLES 1
#else
// The thread sanitizer delivers signals late, outside the interrupted code, so a sample would not
// see its registers.
#define CAM_WATCH_SAMPLES 0
#endif

constexpr int kWatchSignal = SIGPROF;
constexpr long kWatchIntervalNs = 200 * 1000;
constexpr size_t kXsaveHeaderOffset = 512;  // after the legacy area
constexpr size_t kSoftwareBytesOffset = 464;
constexpr uint32_t kXsaveFrameMagic = 0x46505853;  // the kernel's mark of an extended frame
constexpr ULONG64 kUpperHalvesInUse = 1ULL << XSTATE_AVX512_ZMM_H;

struct Watch {
    volatile uint64_t samples = 0;
    volatile uint64_t in_use = 0;
    volatile uint64_t unsaved = 0;
    volatile uintptr_t unsaved_at = 0;  // where the latest unsaved sample interrupted the thread
    uint64_t reported = 0;
    timer_t timer{};
};

thread_local Watch* volatile t_watch = nullptr;

#if CAM_WATCH_SAMPLES
void OnSample(int, siginfo_t*, void* context) {
    Watch* watch = t_watch;
    const auto* frame = (const ucontext_t*)context;
    if (watch == nullptr || frame->uc_mcontext.fpregs == nullptr)
        return;
    const auto* area = (const unsigned char*)frame->uc_mcontext.fpregs;
    uint32_t magic;
    std::memcpy(&magic, area + kSoftwareBytesOffset, sizeof(magic));
    if (magic != kXsaveFrameMagic)
        return;
    uint64_t components;
    std::memcpy(&components, area + kXsaveHeaderOffset, sizeof(components));
    watch->samples = watch->samples + 1;
    if ((components & kUpperHalvesInUse) == 0)
        return;
    watch->in_use = watch->in_use + 1;
    if ((t_saved_mask & kWideSaveNeeded) != kWideSaveNeeded) {
        watch->unsaved_at = (uintptr_t)frame->uc_mcontext.gregs[REG_RIP];
        watch->unsaved = watch->unsaved + 1;
    }
}

void InstallSampleHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_sigaction = OnSample;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(kWatchSignal, &action, nullptr);
    });
}
#endif

// Raises one violation for the unsaved samples found since the last report.
void ReportUnsavedUse(Watch* watch) {
    const uint64_t unsaved = watch->unsaved;
    if (unsaved == watch->reported)
        return;
    const uint64_t fresh = unsaved - watch->reported;
    watch->reported = unsaved;
    char where[32];
    std::snprintf(where, sizeof(where), "%#zx", (size_t)watch->unsaved_at);
    platform::verifier::Violation(
        "512-bit registers in use without KeSaveExtendedProcessorState of XSTATE_MASK_AVX | "
        "XSTATE_MASK_AVX512 (" +
        std::to_string(fresh) + " sample(s), the latest at " + where + ")");
}

void CheckWatch() {
    if (Watch* watch = t_watch)
        ReportUnsavedUse(watch);
}

}  // namespace

namespace platform::kernel {

void ClearProcessorFaults() {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> guard(faults.lock);
    faults.hidden_features.clear();
    g_failing_saves.store(0);
}

}  // namespace platform::kernel

BOOLEAN NTAPI ExIsProcessorFeaturePresent(ULONG processor_feature) {
    // The compiler's check also asks the system whether it saves the registers' state.
    return ProcessorHas(processor_feature) && !FeatureHidden(processor_feature) ? TRUE : FALSE;
}

NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 mask, PXSTATE_SAVE xstate_save) {
    if (platform::kernel::CurrentThreadState().irql > DISPATCH_LEVEL) {
        platform::verifier::Violation("KeSaveExtendedProcessorState above DISPATCH_LEVEL");
    }
    CheckWatch();
    if (xstate_save == nullptr || (mask & ~EnabledStateMask()) != 0)
        return STATUS_INVALID_PARAMETER;
    if ((mask & g_failing_saves.load()) != 0) {
        LogSave(mask, false);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    void* registers = SaveRegisters(mask);
    if (registers == nullptr && TheStateArea().usable) {
        LogSave(mask, false);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    xstate_save->Reserved[0] = kSaveMagic;
    xstate_save->Reserved[1] = mask;
    xstate_save->Reserved[2] = (ULONG64)(uintptr_t)registers;
    CurrentExtendedState().saves.push_back(xstate_save);
    t_saved_mask = t_saved_mask | mask;
    LogSave(mask, true);
    return STATUS_SUCCESS;
}

VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE xstate_save) {
    CheckWatch();
    std::vector<PXSTATE_SAVE>& saves = CurrentExtendedState().saves;
    auto found = std::find(saves.begin(), saves.end(), xstate_save);
    if (xstate_save == nullptr || found == saves.end() || xstate_save->Reserved[0] != kSaveMagic) {
        platform::verifier::Violation("KeRestoreExtendedProcessorState without a matching save");
        return;
    }
    if (found + 1 != saves.end()) {
        platform::verifier::Violation(
            "KeRestoreExtendedProcessorState out of order: restore the newest save first");
    }
    // Restoring an older save also ends every newer one, as the state it returns to predates them.
    for (auto it = saves.end(); it != found;) {
        --it;
        RestoreRegisters((void*)(uintptr_t)(*it)->Reserved[2], (*it)->Reserved[1]);
        (*it)->Reserved[0] = 0;
    }
    saves.erase(found, saves.end());
    ULONG64 live = 0;
    for (PXSTATE_SAVE save : saves)
        live |= save->Reserved[1];
    t_saved_mask = live;
}

namespace platform::verifier {

void HideProcessorFeature(ULONG processor_feature) {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> guard(faults.lock);
    faults.hidden_features.insert(processor_feature);
}

void FailExtendedStateSaves(uint64_t mask) {
    g_failing_saves.store(mask);
}

std::vector<ExtendedStateSave> TakeExtendedStateSaves() {
    Faults& faults = TheFaults();
    std::lock_guard<std::mutex> guard(faults.lock);
    std::vector<ExtendedStateSave> taken(faults.log.begin(), faults.log.end());
    faults.log.clear();
    return taken;
}

bool ExtendedStateWatch::Available() {
    return CAM_WATCH_SAMPLES && ProcessorHas(PF_AVX512F_INSTRUCTIONS_AVAILABLE);
}

ExtendedStateWatch::ExtendedStateWatch() {
#if CAM_WATCH_SAMPLES
    if (!Available() || t_watch != nullptr)
        return;
    InstallSampleHandler();
    auto* watch = new Watch;
    t_saved_mask = t_saved_mask;  // the signal must not be the first to touch the thread's state
    sigevent event = {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = kWatchSignal;
    event._sigev_un._tid = (pid_t)syscall(SYS_gettid);
    if (timer_create(CLOCK_THREAD_CPUTIME_ID, &event, &watch->timer) != 0) {
        delete watch;
        return;
    }
    watch_ = watch;
    t_watch = watch;
    itimerspec interval = {};
    interval.it_interval.tv_nsec = kWatchIntervalNs;
    interval.it_value.tv_nsec = kWatchIntervalNs;
    timer_settime(watch->timer, 0, &interval, nullptr);
#endif
}

ExtendedStateWatch::~ExtendedStateWatch() {
    auto* watch = (Watch*)watch_;
    if (watch == nullptr)
        return;
    timer_delete(watch->timer);
    t_watch = nullptr;
    ReportUnsavedUse(watch);
    delete watch;
}

uint64_t ExtendedStateWatch::Samples() const {
    return watch_ == nullptr ? 0 : ((Watch*)watch_)->samples;
}

uint64_t ExtendedStateWatch::InUseSamples() const {
    return watch_ == nullptr ? 0 : ((Watch*)watch_)->in_use;
}

}  // namespace platform::verifier
