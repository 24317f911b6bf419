// Bookkeeping that the I/O stand-in keeps beside each IRP, and its pool tags.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/io.h"

namespace platform::io {

inline constexpr auto& MakeTag = MakePoolTag;

inline constexpr ULONG kIrpTag = MakeTag("PIrp");
inline constexpr ULONG kMdlTag = MakeTag("PMdl");
inline constexpr ULONG kSystemBufferTag = MakeTag("PSbf");
inline constexpr ULONG kCompletionHoldTag = MakeTag("PCmp");

// Where an IRP is in its life, as far as the verifier cares.
enum class IrpState : uint32_t {
    kIdle,        // allocated and never sent, or handed back by a completion routine
    kPending,     // passed to a driver and not completed yet
    kCompleting,  // completion is walking up the stack
    kCompleted,   // completion reached the top of the stack
};

// Lives after the IRP's stack locations, in the same pool block.
struct IrpShadow {
    static constexpr uint64_t kMagic = 0x49525053484457ull;
    uint64_t magic = kMagic;
    std::atomic<IrpState> state{IrpState::kIdle};
    // Set for requests built by IoBuildDeviceIoControlRequest: the stand-in releases them.
    bool built = false;
    PVOID output_buffer = nullptr;  // caller's output buffer of a buffered request
    ULONG output_length = 0;
};

IrpShadow* ShadowOf(PIRP irp);

}  // namespace platform::io
