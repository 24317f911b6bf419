#include "endpoint_queues.h"

#include <algorithm>
#include <cstring>

namespace platform::usb {

std::optional<PipeTarget> EndpointQueues::FindPipe(PVOID handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = pipes_.find((uintptr_t)handle);
    if (found == pipes_.end())
        return std::nullopt;
    const Endpoint& endpoint = endpoints_[found->second];
    return PipeTarget{found->second, endpoint.type, endpoint.interval};
}

size_t EndpointQueues::PendingCount(uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = endpoints_.find(address);
    return found == endpoints_.end() ? 0 : found->second.pending.size();
}

void EndpointQueues::Reconfigure(const std::vector<PUSBD_PIPE_INFORMATION>& pipes,
                                 Completions& done) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [address, endpoint] : endpoints_) {
        EndLocked(endpoint, STATUS_CANCELLED, USBD_STATUS_CANCELED, done);
        endpoint.in_data.clear();
    }
    pipes_.clear();
    for (const PUSBD_PIPE_INFORMATION pipe : pipes) {
        pipes_[(uintptr_t)pipe->PipeHandle] = pipe->EndpointAddress;
        Endpoint& endpoint = endpoints_[pipe->EndpointAddress];
        endpoint.type = pipe->PipeType;
        endpoint.max_packet = pipe->MaximumPacketSize;
        endpoint.interval = pipe->Interval;
    }
}

void EndpointQueues::Add(uint8_t address, const Transfer& transfer) {
    std::lock_guard<std::mutex> lock(mutex_);
    endpoints_[address].pending.push_back(transfer);
}

void EndpointQueues::Deliver(uint8_t address, bool failure, USBD_STATUS status,
                             std::vector<uint8_t> data, Completions& done) {
    std::lock_guard<std::mutex> lock(mutex_);
    Endpoint& endpoint = endpoints_[address];
    endpoint.in_data.push_back(InChunk{failure, status, std::move(data), 0});
    PumpLocked(endpoint, done);
}

void EndpointQueues::Pump(uint8_t address, Completions& done) {
    std::lock_guard<std::mutex> lock(mutex_);
    PumpLocked(endpoints_[address], done);
}

void EndpointQueues::Flush(uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(endpoints_[address].in_data, [](const InChunk& chunk) { return !chunk.failure; });
}

void EndpointQueues::EndPending(uint8_t address, NTSTATUS status, USBD_STATUS urb_status,
                                Completions& done) {
    std::lock_guard<std::mutex> lock(mutex_);
    EndLocked(endpoints_[address], status, urb_status, done);
}

void EndpointQueues::EndAllPending(NTSTATUS status, USBD_STATUS urb_status, Completions& done) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [address, endpoint] : endpoints_)
        EndLocked(endpoint, status, urb_status, done);
}

std::optional<Completion> EndpointQueues::Cancel(PIRP irp) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [address, endpoint] : endpoints_) {
        auto found = std::find_if(endpoint.pending.begin(), endpoint.pending.end(),
                                  [irp](const Transfer& transfer) { return transfer.irp == irp; });
        if (found == endpoint.pending.end())
            continue;
        Completion completion = Finish(*found, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        endpoint.pending.erase(found);
        return completion;
    }
    return std::nullopt;
}

Completion EndpointQueues::Finish(const Transfer& transfer, NTSTATUS status,
                                  USBD_STATUS urb_status) {
    Completion completion;
    completion.irp = transfer.irp;
    completion.urb = transfer.urb;
    completion.status = status;
    completion.urb_status = urb_status;
    completion.transferred = &transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    completion.moved = transfer.moved;
    completion.buffer = transfer.buffer;
    completion.trace = transfer.trace;
    return completion;
}

bool EndpointQueues::Take(Endpoint& endpoint, Transfer& transfer) {
    InChunk& chunk = endpoint.in_data.front();
    const size_t take =
        std::min<size_t>(transfer.length - transfer.moved, chunk.data.size() - chunk.offset);
    if (take != 0)
        std::memcpy(transfer.buffer + transfer.moved, chunk.data.data() + chunk.offset, take);
    transfer.moved += (ULONG)take;
    chunk.offset += take;
    if (chunk.offset != chunk.data.size())
        return false;
    // A chunk is what the device sent in one go: its last packet is short unless the chunk is a
    // whole number of full packets.
    const bool short_packet = endpoint.max_packet == 0 ||
                              chunk.data.size() % endpoint.max_packet != 0 || chunk.data.empty();
    endpoint.in_data.pop_front();
    return short_packet;
}

void EndpointQueues::PumpLocked(Endpoint& endpoint, Completions& done) {
    while (!endpoint.pending.empty() && !endpoint.in_data.empty()) {
        Transfer& transfer = endpoint.pending.front();
        if (endpoint.in_data.front().failure) {
            done.push_back(Finish(transfer, STATUS_UNSUCCESSFUL, endpoint.in_data.front().status));
            endpoint.in_data.pop_front();
            endpoint.pending.pop_front();
            continue;
        }
        const bool short_packet = Take(endpoint, transfer);
        if (transfer.moved == transfer.length) {
            done.push_back(Finish(transfer, STATUS_SUCCESS, USBD_STATUS_SUCCESS));
        } else if (short_packet && transfer.short_ok) {
            done.push_back(Finish(transfer, STATUS_SUCCESS, USBD_STATUS_SUCCESS));
        } else if (short_packet) {
            done.push_back(Finish(transfer, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER));
        } else {
            continue;
        }
        endpoint.pending.pop_front();
    }
}

void EndpointQueues::EndLocked(Endpoint& endpoint, NTSTATUS status, USBD_STATUS urb_status,
                               Completions& done) {
    while (!endpoint.pending.empty()) {
        done.push_back(Finish(endpoint.pending.front(), status, urb_status));
        endpoint.pending.pop_front();
    }
}

}  // namespace platform::usb
