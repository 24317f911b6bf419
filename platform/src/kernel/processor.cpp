// Processor features and the extended-state save that kernel code brackets 256-bit work with.
#include <algorithm>
#include <vector>

#include "kernel_internal.h"
#include "platform/verifier.h"

namespace {

constexpr ULONG64 kSaveMagic = 0x5853415645535441ULL;  // marks a live save record

// The live saves of the calling thread, oldest first.
struct ExtendedState {
    std::vector<PXSTATE_SAVE> saves;
};

ExtendedState& CurrentExtendedState() {
    thread_local ExtendedState state;
    return state;
}

}  // namespace

BOOLEAN ExIsProcessorFeaturePresent(ULONG processor_feature) {
    // The compiler's check also asks the system whether it saves the 256-bit registers.
    switch (processor_feature) {
        case PF_AVX_INSTRUCTIONS_AVAILABLE:
            return __builtin_cpu_supports("avx") ? TRUE : FALSE;
        case PF_AVX2_INSTRUCTIONS_AVAILABLE:
            return __builtin_cpu_supports("avx2") ? TRUE : FALSE;
        default:
            return FALSE;
    }
}

NTSTATUS KeSaveExtendedProcessorState(ULONG64 mask, PXSTATE_SAVE xstate_save) {
    if (platform::kernel::CurrentThreadState().irql > DISPATCH_LEVEL) {
        platform::verifier::Violation("KeSaveExtendedProcessorState above DISPATCH_LEVEL");
    }
    if (xstate_save == nullptr || (mask & ~XSTATE_MASK_AVX) != 0)
        return STATUS_INVALID_PARAMETER;
    xstate_save->Reserved[0] = kSaveMagic;
    xstate_save->Reserved[1] = mask;
    CurrentExtendedState().saves.push_back(xstate_save);
    return STATUS_SUCCESS;
}

VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE xstate_save) {
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
    for (auto it = found; it != saves.end(); ++it)
        (*it)->Reserved[0] = 0;
    saves.erase(found, saves.end());
}
