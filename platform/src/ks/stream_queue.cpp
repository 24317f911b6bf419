// The pin's stream queue: client buffers in submission order, the leading edge the driver locks
// and ejects, and the completed buffers the client takes back.
#include <algorithm>
#include <chrono>

#include "ks_objects.h"
#include "platform/verifier.h"

namespace platform::ks::internal {
namespace {

constexpr ULONG kShortHeaderSize = sizeof(KSSTREAM_HEADER);
constexpr ULONG kFrameInfoHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
static_assert(kFrameInfoHeaderSize == 128);

constexpr ULONG kHeaderTag = 'hSsK';  // "KsSh"
constexpr ULONG kDataTag = 'dSsK';    // "KsSd"

// Caller holds the queue's mutex.
void CompleteFrontLocked(StreamQueue& queue) {
    queue.completed.push_back(queue.queued.front());
    queue.queued.pop_front();
    queue.completed_changed.notify_all();
}

}  // namespace

void FlushQueue(client::Pin* pin) {
    StreamQueue& queue = pin->queue;
    std::lock_guard<std::mutex> guard(queue.mutex);
    queue.leading_locked = false;
    while (!queue.queued.empty()) {
        queue.queued.front()->header->DataUsed = 0;
        CompleteFrontLocked(queue);
    }
}

void CheckUnlockedAfterProcess(client::Pin* pin) {
    StreamQueue& queue = pin->queue;
    bool locked;
    {
        std::lock_guard<std::mutex> guard(queue.mutex);
        locked = queue.leading_locked;
        queue.leading_locked = false;
    }
    if (locked)
        verifier::Violation("Process returned with its stream pointer still locked");
}

size_t QueuedCount(client::Pin* pin) {
    std::lock_guard<std::mutex> guard(pin->queue.mutex);
    return pin->queue.queued.size();
}

}  // namespace platform::ks::internal

namespace platform::ks::client {

StreamBuffer* CreateStreamBuffer(ULONG header_size, ULONG frame_extent) {
    if (header_size != internal::kShortHeaderSize && header_size != internal::kFrameInfoHeaderSize)
        return nullptr;
    auto* header = static_cast<PKSSTREAM_HEADER>(ExAllocatePoolWithTag(
        (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), header_size, internal::kHeaderTag));
    auto* data = static_cast<uint8_t*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, frame_extent, internal::kDataTag));
    if (header == nullptr || data == nullptr) {
        if (header != nullptr)
            ExFreePoolWithTag(header, internal::kHeaderTag);
        if (data != nullptr)
            ExFreePoolWithTag(data, internal::kDataTag);
        return nullptr;
    }
    header->Size = header_size;
    auto* buffer = new StreamBuffer;
    buffer->header = header;
    buffer->frame_info = header_size == internal::kFrameInfoHeaderSize
                             ? reinterpret_cast<PKS_FRAME_INFO>(header + 1)
                             : nullptr;
    buffer->data = data;
    buffer->frame_extent = frame_extent;
    return buffer;
}

void FreeStreamBuffer(StreamBuffer* buffer) {
    if (buffer == nullptr)
        return;
    ExFreePoolWithTag(buffer->header, internal::kHeaderTag);
    ExFreePoolWithTag(buffer->data, internal::kDataTag);
    delete buffer;
}

NTSTATUS SubmitBuffer(Pin* pin, StreamBuffer* buffer) {
    if (pin->pin.DeviceState == KSSTATE_STOP)
        return STATUS_INVALID_DEVICE_STATE;
    internal::StreamQueue& queue = pin->queue;
    std::lock_guard<std::mutex> guard(queue.mutex);
    if (std::find(queue.queued.begin(), queue.queued.end(), buffer) != queue.queued.end())
        return STATUS_INVALID_PARAMETER;
    std::erase(queue.completed, buffer);
    PKSSTREAM_HEADER header = buffer->header;
    header->Size =
        buffer->frame_info != nullptr ? internal::kFrameInfoHeaderSize : internal::kShortHeaderSize;
    header->FrameExtent = buffer->frame_extent;
    header->Data = buffer->data;
    header->DataUsed = 0;
    queue.queued.push_back(buffer);
    return STATUS_SUCCESS;
}

StreamBuffer* WaitForBuffer(Pin* pin, uint32_t timeout_ms) {
    internal::StreamQueue& queue = pin->queue;
    std::unique_lock<std::mutex> lock(queue.mutex);
    if (!queue.completed_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                          [&] { return !queue.completed.empty(); })) {
        return nullptr;
    }
    StreamBuffer* buffer = queue.completed.front();
    queue.completed.pop_front();
    return buffer;
}

size_t QueuedBufferCount(Pin* pin) {
    return internal::QueuedCount(pin);
}

}  // namespace platform::ks::client

PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN ks_pin,
                                                         KSSTREAM_POINTER_STATE state) {
    platform::ks::client::Pin* pin = platform::ks::internal::PinOfObject(ks_pin);
    if (pin == nullptr) {
        platform::verifier::Violation("KsPinGetLeadingEdgeStreamPointer: not a live pin");
        return nullptr;
    }
    platform::ks::internal::StreamQueue& queue = pin->queue;
    std::lock_guard<std::mutex> guard(queue.mutex);
    if (queue.queued.empty())
        return nullptr;
    platform::ks::client::StreamBuffer* buffer = queue.queued.front();
    KSSTREAM_POINTER& leading = queue.leading;
    leading.Context = nullptr;
    leading.Pin = ks_pin;
    leading.StreamHeader = buffer->header;
    KSSTREAM_POINTER_OFFSET& offset =
        ks_pin->DataFlow == KSPIN_DATAFLOW_OUT ? leading.OffsetOut : leading.OffsetIn;
    leading.OffsetIn = {};
    leading.OffsetOut = {};
    offset.Data = buffer->data;
    offset.Count = buffer->frame_extent;
    offset.Remaining = buffer->frame_extent;
    leading.Offset = &offset;
    if (state == KSSTREAM_POINTER_STATE_LOCKED)
        queue.leading_locked = true;
    return &leading;
}

VOID NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER stream_pointer, BOOLEAN eject) {
    platform::ks::client::Pin* pin = stream_pointer != nullptr
                                         ? platform::ks::internal::PinOfObject(stream_pointer->Pin)
                                         : nullptr;
    if (pin == nullptr || stream_pointer != &pin->queue.leading) {
        platform::verifier::Violation("KsStreamPointerUnlock: not a stream pointer of a live pin");
        return;
    }
    platform::ks::internal::StreamQueue& queue = pin->queue;
    std::lock_guard<std::mutex> guard(queue.mutex);
    if (!queue.leading_locked) {
        platform::verifier::Violation(
            "KsStreamPointerUnlock of a stream pointer that is not locked");
        return;
    }
    queue.leading_locked = false;
    if (eject && !queue.queued.empty())
        platform::ks::internal::CompleteFrontLocked(queue);
}
