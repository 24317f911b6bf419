#include "fake_link.h"

#include <chrono>

namespace sim_test {

void FakeLink::SendIn(uint8_t endpoint_address, const uint8_t* data, uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkEvent event;
    event.kind = LinkEvent::kSend;
    event.endpoint = endpoint_address;
    event.data.assign(data, data + length);
    std::vector<uint8_t>& stream = data_[endpoint_address];
    stream.insert(stream.end(), data, data + length);
    events_.push_back(std::move(event));
    changed_.notify_all();
}

void FakeLink::FailIn(uint8_t endpoint_address, USBD_STATUS status) {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkEvent event;
    event.kind = LinkEvent::kFail;
    event.endpoint = endpoint_address;
    event.status = status;
    events_.push_back(std::move(event));
    changed_.notify_all();
}

void FakeLink::FlushIn(uint8_t endpoint_address) {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkEvent event;
    event.kind = LinkEvent::kFlush;
    event.endpoint = endpoint_address;
    events_.push_back(std::move(event));
    data_[endpoint_address].clear();
    changed_.notify_all();
}

size_t FakeLink::PendingInTransfers(uint8_t endpoint_address) {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_[endpoint_address];
}

void FakeLink::SetPending(uint8_t endpoint_address, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_[endpoint_address] = count;
}

std::vector<LinkEvent> FakeLink::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<LinkEvent> FakeLink::Events(uint8_t endpoint_address, LinkEvent::Kind kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LinkEvent> result;
    for (const LinkEvent& event : events_) {
        if (event.endpoint == endpoint_address && event.kind == kind) {
            result.push_back(event);
        }
    }
    return result;
}

std::vector<uint8_t> FakeLink::Data(uint8_t endpoint_address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = data_.find(endpoint_address);
    return it == data_.end() ? std::vector<uint8_t>{} : it->second;
}

bool FakeLink::WaitForData(uint8_t endpoint_address, size_t bytes, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        auto it = data_.find(endpoint_address);
        return it != data_.end() && it->second.size() >= bytes;
    });
}

void FakeLink::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    data_.clear();
}

}  // namespace sim_test
