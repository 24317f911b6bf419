// Kernel stacks. The thread library keeps its thread record and thread-local storage at the top of
// a stack it is given, so each stack is mapped with room for them; once the thread runs, all below
// the kernel stack size under its first frame is made inaccessible, which leaves the driver exactly
// the system's stack above a guard. The stack is painted first, so that the deepest use shows when
// the thread ends.
#include "kernel_thread.h"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/verifier.h"

namespace platform::kernel {

constexpr size_t kPageSize = 4096;
// Room for the thread library's record and thread-local storage above the stack. The thread
// sanitizer's runtime keeps about 900 KiB per thread there, and refuses a smaller stack.
#if defined(__SANITIZE_THREAD__)
constexpr size_t kThreadRecordRoom = 1024 * 1024;
#else
constexpr size_t kThreadRecordRoom = 256 * 1024;
#endif
constexpr size_t kLargestKernelStack = std::max(kImageKernelStack, kBuiltInKernelStack);
constexpr unsigned char kPaint = 0xCD;

struct Stack {
    std::function<void()> body;
    void* region = nullptr;
    size_t size = 0;
    size_t usable = 0;
    pthread_t thread{};
    std::atomic<bool> ended{false};
};

namespace {

std::mutex g_deepest_lock;
verifier::KernelStackUse g_deepest{0, 0};
std::atomic<bool> g_image{false};

struct Reaper {
    std::mutex lock;
    std::vector<Stack*> detached;
};

void ReapAtExit();

Reaper& TheReaper() {
    // Never destroyed: detached threads may outlive statics.
    static Reaper* reaper = [] {
        std::atexit(ReapAtExit);
        return new Reaper;
    }();
    return *reaper;
}

void Free(Stack* stack) {
    pthread_join(stack->thread, nullptr);
    munmap(stack->region, stack->size);
    delete stack;
}

// Frees the stacks of detached threads that have ended.
void Reap() {
    std::vector<Stack*> ended;
    {
        Reaper& reaper = TheReaper();
        std::lock_guard<std::mutex> guard(reaper.lock);
        auto split = std::stable_partition(reaper.detached.begin(), reaper.detached.end(),
                                           [](Stack* stack) { return !stack->ended.load(); });
        ended.assign(split, reaper.detached.end());
        reaper.detached.erase(split, reaper.detached.end());
    }
    for (Stack* stack : ended)
        Free(stack);
}

bool AnyDetachedRunning() {
    Reaper& reaper = TheReaper();
    std::lock_guard<std::mutex> guard(reaper.lock);
    return std::any_of(reaper.detached.begin(), reaper.detached.end(),
                       [](Stack* stack) { return !stack->ended.load(); });
}

// A thread whose object has been signalled may still be on its way out when the process exits: it
// gets a moment to end, and every ended thread is joined, so that none is left unjoined.
void ReapAtExit() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (AnyDetachedRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Reap();
}

// Room kept free below a frame's address for the frame itself.
constexpr uintptr_t kFrameRoom = 256;

// Paints and measures the stack below the running frame, which the sanitizers must not watch:
// the bytes below the stack pointer belong to no live frame. Painting stops below this call's own
// frame: the caller's frame may reach further down than its address suggests (instrumented
// builds give it red zones), and this frame lies below all of it.
__attribute__((no_sanitize("address", "thread"), noinline)) void Paint(unsigned char* from,
                                                                       unsigned char* to) {
    const uintptr_t below_this_frame = (uintptr_t)__builtin_frame_address(0) - kFrameRoom;
    if ((uintptr_t)to > below_this_frame)
        to = (unsigned char*)below_this_frame;
    for (volatile unsigned char* at = from; at < to; ++at)
        *at = kPaint;
}

__attribute__((no_sanitize("address", "thread"), noinline)) unsigned char* FirstUsed(
    unsigned char* from, unsigned char* to) {
    const volatile unsigned char* at = from;
    while (at < to && *at == kPaint)
        ++at;
    return (unsigned char*)at;
}

void* ThreadMain(void* argument) {
    auto* stack = static_cast<Stack*>(argument);
    // The thread's first frame: the kernel stack lies below it. Below the frame and its red zone
    // nothing lives yet.
    const uintptr_t top = (uintptr_t)__builtin_frame_address(0);
    auto* const unused_end = (unsigned char*)(top - kFrameRoom);
    auto* const base = static_cast<unsigned char*>(stack->region);
    auto* const floor = (unsigned char*)((top - stack->usable) & ~(uintptr_t)(kPageSize - 1));
    if (floor < base + kPageSize) {
        verifier::Violation("a kernel stack has no room for its guard page");
    } else {
        mprotect(base, (size_t)(floor - base), PROT_NONE);
        Paint(floor, unused_end);
    }
    stack->body();
    if (floor >= base + kPageSize) {
        const size_t used = (size_t)(top - (uintptr_t)FirstUsed(floor, unused_end));
        std::lock_guard<std::mutex> guard(g_deepest_lock);
        if (used > g_deepest.deepest)
            g_deepest = {used, stack->usable};
    }
    stack->body = nullptr;
    stack->ended.store(true);
    return nullptr;
}

}  // namespace

void UseImageKernelStack(bool image) {
    g_image.store(image);
}

size_t KernelStackSize() {
    return g_image.load() ? kImageKernelStack : kBuiltInKernelStack;
}

KernelThread::~KernelThread() {
    if (Joinable())
        Join();
}

bool KernelThread::Start(std::function<void()> body) {
    Reap();
    auto* stack = new Stack;
    stack->body = std::move(body);
    stack->usable = KernelStackSize();
    stack->size = kLargestKernelStack + kThreadRecordRoom + kPageSize;
    stack->region =
        mmap(nullptr, stack->size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack->region == MAP_FAILED) {
        delete stack;
        return false;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack->region, stack->size);
    const int error = pthread_create(&stack->thread, &attributes, ThreadMain, stack);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        munmap(stack->region, stack->size);
        delete stack;
        return false;
    }
    stack_ = stack;
    return true;
}

void KernelThread::Join() {
    Free(stack_);
    stack_ = nullptr;
}

void KernelThread::Detach() {
    Reaper& reaper = TheReaper();
    std::lock_guard<std::mutex> guard(reaper.lock);
    reaper.detached.push_back(stack_);
    stack_ = nullptr;
}

}  // namespace platform::kernel

namespace platform::verifier {

KernelStackUse DeepestKernelStackUse() {
    std::lock_guard<std::mutex> guard(kernel::g_deepest_lock);
    return kernel::g_deepest;
}

size_t KernelStackSize() {
    return kernel::KernelStackSize();
}

}  // namespace platform::verifier
