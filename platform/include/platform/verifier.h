// Host side of the kernel stand-in's verifier: pool tracking, leak reports, fault injection, the
// record of rule violations and the CPU time of the threads that run driver code. Not for the
// driver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ntdef.h"

namespace platform::verifier {

// What a violation does: abort the process with its message on standard error (the default, so any
// test run that trips the verifier fails), or record it for a test of the verifier itself.
enum class Mode { kAbort, kRecord };
void SetMode(Mode mode);
Mode GetMode();
// Raises a violation (used by every part of the stand-in): aborts, or records.
void Violation(const std::string& message);
// Recorded violations since the last call, oldest first.
std::vector<std::string> TakeViolations();

// A tag as its four characters, in memory order ("CmCx").
std::string TagName(ULONG tag);

// Number of pool allocations made so far (successful or failed); a sequence mark.
uint64_t AllocationMark();
// Blocks still allocated.
size_t OutstandingBlocks();
size_t OutstandingBlocks(ULONG tag);
// Descriptions ("3 blocks of tag CmCx, 24576 bytes") of the blocks allocated after `mark` that are
// still outstanding, one line per tag; empty when nothing leaked.
std::vector<std::string> FindLeaks(uint64_t mark);
// Raises one violation naming each leaked tag of FindLeaks(mark), with `context` ("device
// removed"); returns the number of leaked blocks.
size_t ReportLeaks(uint64_t mark, const std::string& context);

// Fault injection. The n-th allocation from now (1 = the next one) returns null; 0 disarms.
void FailNthAllocation(uint64_t n);
// Every allocation with this tag returns null until cleared.
void FailAllocationsWithTag(ULONG tag);
// Blocks not asked to be zeroed come back filled with this byte (0xA5 until faults are cleared),
// so a test can show that a result does not depend on what the pool held.
void SetUninitialisedFill(unsigned char fill);
// Every ObReferenceObjectByHandle fails with STATUS_ACCESS_DENIED until faults are cleared.
void FailObjectReferences();
// Ends every injected fault: of the pool, the processor features, the extended-state saves and the
// object references.
void ClearFaults();
// Allocations that fault injection has failed so far.
uint64_t InjectedFailures();

// CPU accounting, as the system keeps it per thread. The CPU time in nanoseconds used so far by
// the threads that run driver code: the system threads the driver creates and the class driver's
// processing threads (live ones as they stand, ended ones as they ended), together or by kind.
// Driver calls made in a client's own thread (property requests, state changes) count as the
// client's.
enum class DriverThread { kSystem, kProcessing };
uint64_t DriverCpuNanoseconds();
uint64_t DriverCpuNanoseconds(DriverThread kind);
// Counts the calling thread in DriverCpuNanoseconds while the scope lasts; the stand-in opens one
// in each thread it starts to run driver code.
class DriverThreadScope {
  public:
    explicit DriverThreadScope(DriverThread kind);
    ~DriverThreadScope();
    DriverThreadScope(const DriverThreadScope&) = delete;
    DriverThreadScope& operator=(const DriverThreadScope&) = delete;
};

// Kernel stacks: every thread that runs driver code (the system threads the driver creates, the
// class driver's processing threads, the USB bus's completion thread) gets a fixed stack above an
// inaccessible guard page: the system's 24 KiB while a driver image is loaded (more under the
// sanitizers), more for the built-in driver of an unoptimised build. KernelStackSize() is what a
// thread started now gets; DeepestKernelStackUse() the deepest any has reached so far, in bytes,
// with the size of that thread's stack.
size_t KernelStackSize();
struct KernelStackUse {
    size_t deepest;
    size_t size;
};
KernelStackUse DeepestKernelStackUse();

// ExIsProcessorFeaturePresent answers FALSE for the feature, as on a processor or system without
// it, until faults are cleared.
void HideProcessorFeature(ULONG processor_feature);
// Every KeSaveExtendedProcessorState whose mask shares a bit with mask fails with
// STATUS_INSUFFICIENT_RESOURCES until faults are cleared.
void FailExtendedStateSaves(uint64_t mask);

// The extended-state saves attempted since the last call, on any thread, oldest first (the latest
// 64 are kept); saves refused as invalid are not among them.
struct ExtendedStateSave {
    uint64_t mask;
    bool succeeded;
};
std::vector<ExtendedStateSave> TakeExtendedStateSaves();

// Watches the calling thread while it lives: the thread is sampled as it runs, and a sample that
// finds the 512-bit registers in use while no live save of the thread covers XSTATE_MASK_AVX |
// XSTATE_MASK_AVX512 is a violation, raised when the thread next saves or restores extended state
// or when the watch ends. Sampling needs a processor with those registers, and a build without
// the thread sanitizer, which delivers signals too late to see them: Available() says whether a
// watch samples. Watches do not nest; an inner one on the same thread does nothing.
class ExtendedStateWatch {
  public:
    ExtendedStateWatch();
    ~ExtendedStateWatch();
    ExtendedStateWatch(const ExtendedStateWatch&) = delete;
    ExtendedStateWatch& operator=(const ExtendedStateWatch&) = delete;
    static bool Available();
    // Samples taken, and those that found the 512-bit registers in use.
    uint64_t Samples() const;
    uint64_t InUseSamples() const;

  private:
    void* watch_ = nullptr;
};

}  // namespace platform::verifier
