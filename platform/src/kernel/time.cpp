// System and interrupt time.
#include <chrono>

#include "kernel_internal.h"

namespace platform::kernel {

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01 (UTC).
constexpr LONGLONG kUnixEpochAsSystemTime = 116444736000000000LL;

using Ticks = std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>;

std::chrono::steady_clock::time_point BootTime() {
    static const std::chrono::steady_clock::time_point boot = std::chrono::steady_clock::now();
    return boot;
}

// Interrupt time counts from the stand-in's start, so take the mark when the library loads.
[[maybe_unused]] const std::chrono::steady_clock::time_point kBootMark = BootTime();

}  // namespace

LONGLONG SystemTimeNow() {
    auto since_unix =
        std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch());
    return since_unix.count() + kUnixEpochAsSystemTime;
}

std::chrono::steady_clock::time_point DeadlineFor(LONGLONG timeout) {
    auto now = std::chrono::steady_clock::now();
    // An absolute time is converted once, at the start of the wait, to a point on the steady clock.
    LONGLONG ticks = timeout < 0 ? -timeout : timeout - SystemTimeNow();
    if (ticks <= 0) {
        return now;
    }
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(Ticks(ticks));
}

}  // namespace platform::kernel

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER current_time) {
    current_time->QuadPart = platform::kernel::SystemTimeNow();
}

ULONGLONG NTAPI KeQueryInterruptTime() {
    using platform::kernel::Ticks;
    auto elapsed = std::chrono::steady_clock::now() - platform::kernel::BootTime();
    return (ULONGLONG)std::chrono::duration_cast<Ticks>(elapsed).count();
}
