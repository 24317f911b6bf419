// Threads that run driver code, on the system's kernel stack: a fixed size with an inaccessible
// guard page below it, so that a driver overrunning its stack faults here as it would there.
#pragma once

#include <cstddef>
#include <functional>

namespace platform::kernel {

// The x64 system's kernel stack, which a loaded driver image gets as it would there. The
// sanitizers' instrumentation widens the frames of the stand-in's services the image calls (the
// address sanitizer's redzones most), so their builds allow more.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr size_t kImageKernelStack = 128 * 1024;
#elif defined(__SANITIZE_THREAD__)
inline constexpr size_t kImageKernelStack = 64 * 1024;
#else
inline constexpr size_t kImageKernelStack = 24 * 1024;
#endif
// The built-in driver's: the same where it is optimised as the image is; an unoptimised build keeps
// every temporary of the vector conversions in memory (about 100 KiB deep), and the sanitizers
// widen every frame.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr size_t kBuiltInKernelStack = 256 * 1024;
#elif defined(__SANITIZE_THREAD__)
inline constexpr size_t kBuiltInKernelStack = 128 * 1024;
#elif defined(__OPTIMIZE__)
inline constexpr size_t kBuiltInKernelStack = kImageKernelStack;
#else
inline constexpr size_t kBuiltInKernelStack = 160 * 1024;
#endif

// Which of the two threads started from now on get: the image's while a driver image is loaded.
void UseImageKernelStack(bool image);
size_t KernelStackSize();

class KernelThread {
  public:
    KernelThread() = default;
    // Joins a thread still running.
    ~KernelThread();
    KernelThread(const KernelThread&) = delete;
    KernelThread& operator=(const KernelThread&) = delete;

    // Runs `body` on a new thread with a kernel stack; false when no thread or stack could be had.
    bool Start(std::function<void()> body);
    bool Joinable() const { return stack_ != nullptr; }
    // Waits for the thread to end and frees its stack.
    void Join();
    // Lets the thread run on its own; its stack is freed by a later Start once it has ended.
    void Detach();

  private:
    struct Stack* stack_ = nullptr;
};

}  // namespace platform::kernel
