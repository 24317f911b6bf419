// The camera's one lock and its link to the bus. Every part of the camera touches device state only
// while it holds the lock, and takes a held lock as its proof. Calls into the bus are made without
// it, since the bus calls the camera back; detaching waits until those calls have returned.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/usb_bus.h"

namespace sim {

class Link {
  public:
    using Lock = std::unique_lock<std::mutex>;

    Lock Hold() const { return Lock(mutex_); }
    // Wakes every wait below: device state changed.
    void Notify() const { changed_.notify_all(); }
    template <typename Predicate>
    void Wait(Lock& lock, Predicate done) const {
        changed_.wait(lock, done);
    }
    template <typename Predicate>
    bool WaitUntil(Lock& lock, std::chrono::steady_clock::time_point deadline,
                   Predicate done) const {
        return changed_.wait_until(lock, deadline, done);
    }
    template <typename Predicate>
    bool WaitFor(Lock& lock, uint32_t timeout_ms, Predicate done) const {
        return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
    }

    // A null link detaches, once no call into the old one is running.
    void Attach(Lock& lock, platform::UsbDeviceLink* link);
    bool Attached(const Lock&) const { return link_ != nullptr; }

    // Each returns false when no link is attached, and then did nothing.
    bool SendIn(Lock& lock, uint8_t endpoint_address, const uint8_t* data, uint32_t length);
    bool FailIn(Lock& lock, uint8_t endpoint_address, USBD_STATUS status);
    // Fails every IN transfer pending on the endpoint.
    void FailPending(Lock& lock, uint8_t endpoint_address, USBD_STATUS status);
    // Discards what the bus holds for the endpoint, after every other call into the link has
    // returned, so that nothing sent before is left in front of what follows.
    void FlushIn(Lock& lock, uint8_t endpoint_address);

  private:
    template <typename Fn>
    bool Call(Lock& lock, Fn fn);
    void WaitForCalls(Lock& lock) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    platform::UsbDeviceLink* link_ = nullptr;
    uint32_t calls_ = 0;  // calls into link_ running without the lock
};

}  // namespace sim
