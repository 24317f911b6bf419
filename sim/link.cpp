#include "sim/link.h"

namespace sim {

template <typename Fn>
bool Link::Call(Lock& lock, Fn fn) {
    platform::UsbDeviceLink* link = link_;
    if (link == nullptr) {
        return false;
    }
    ++calls_;
    lock.unlock();
    fn(link);
    lock.lock();
    --calls_;
    changed_.notify_all();
    return true;
}

void Link::WaitForCalls(Lock& lock) const {
    changed_.wait(lock, [&] { return calls_ == 0; });
}

void Link::Attach(Lock& lock, platform::UsbDeviceLink* link) {
    link_ = link;
    if (link == nullptr) {
        WaitForCalls(lock);
    }
}

bool Link::SendIn(Lock& lock, uint8_t endpoint_address, const uint8_t* data, uint32_t length) {
    return Call(
        lock, [&](platform::UsbDeviceLink* link) { link->SendIn(endpoint_address, data, length); });
}

bool Link::FailIn(Lock& lock, uint8_t endpoint_address, USBD_STATUS status) {
    return Call(lock,
                [&](platform::UsbDeviceLink* link) { link->FailIn(endpoint_address, status); });
}

void Link::FailPending(Lock& lock, uint8_t endpoint_address, USBD_STATUS status) {
    Call(lock, [&](platform::UsbDeviceLink* link) {
        const size_t pending = link->PendingInTransfers(endpoint_address);
        for (size_t i = 0; i < pending; ++i) {
            link->FailIn(endpoint_address, status);
        }
    });
}

void Link::FlushIn(Lock& lock, uint8_t endpoint_address) {
    WaitForCalls(lock);
    Call(lock, [&](platform::UsbDeviceLink* link) { link->FlushIn(endpoint_address); });
}

}  // namespace sim
