// Pin instances: creation with a connection format, format changes, state changes one step at a
// time, and close.
#include <algorithm>

#include "ks_objects.h"
#include "platform/verifier.h"

namespace platform::ks::internal {

bool FormatMatchesRange(const KSDATAFORMAT& format, const KSDATARANGE& range) {
    return IsEqualGUID(format.MajorFormat, range.MajorFormat) &&
           IsEqualGUID(format.SubFormat, range.SubFormat) &&
           IsEqualGUID(format.Specifier, range.Specifier);
}

const KSDATARANGE* MatchingRange(const KSPIN_DESCRIPTOR_EX* descriptor, const KSDATAFORMAT& format,
                                 ULONG first, ULONG* index) {
    const KSPIN_DESCRIPTOR& pin = descriptor->PinDescriptor;
    for (ULONG i = first; i < pin.DataRangesCount; ++i) {
        if (pin.DataRanges[i] != nullptr && FormatMatchesRange(format, *pin.DataRanges[i])) {
            if (index != nullptr)
                *index = i;
            return pin.DataRanges[i];
        }
    }
    return nullptr;
}

}  // namespace platform::ks::internal

namespace platform::ks::client {

namespace {

const KSPIN_DISPATCH* DispatchOf(Pin* pin) {
    return pin->pin.Descriptor != nullptr ? pin->pin.Descriptor->Dispatch : nullptr;
}

bool ValidFormat(const KSDATAFORMAT* format) {
    return format != nullptr && format->FormatSize >= sizeof(KSDATAFORMAT);
}

void UseFormat(Pin* pin, const KSDATAFORMAT* format) {
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(format);
    pin->format.assign(bytes, bytes + format->FormatSize);
    pin->pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
}

// Frees what the pin owns and checks what the driver must have given back by now.
void DestroyPin(Pin* pin) {
    internal::FreeBag(&pin->bag);
    size_t queued = internal::QueuedCount(pin);
    if (queued != 0) {
        verifier::Violation("pin freed with " + std::to_string(queued) +
                            " stream buffer(s) still queued");
    }
    if (pin->clock != nullptr && internal::ClockExtraReferences(pin->clock.get()) != 0) {
        verifier::Violation("pin freed while the driver still holds a reference to its clock");
    }
    internal::UnregisterObject(&pin->pin);
    delete pin;
}

NTSTATUS CallSetDeviceState(Pin* pin, KSSTATE to, KSSTATE from) {
    const KSPIN_DISPATCH* dispatch = DispatchOf(pin);
    if (dispatch == nullptr || dispatch->SetDeviceState == nullptr)
        return STATUS_SUCCESS;
    return dispatch->SetDeviceState(&pin->pin, to, from);
}

// Processing and the clock follow the run state from the moment the pin is asked to change it;
// undone when the driver refuses the step.
void FollowRunState(Pin* pin, bool running) {
    internal::SetProcessingOpen(pin, running);
    if (pin->clock != nullptr)
        internal::SetClockRunning(pin->clock.get(), running);
}

}  // namespace

NTSTATUS CreatePin(Filter* filter, ULONG pin_id, const KSDATAFORMAT* format,
                   const PinOptions& options, Pin** pin_out) {
    *pin_out = nullptr;
    const KSPIN_DESCRIPTOR_EX* descriptor = PinDescriptor(filter, pin_id);
    if (descriptor == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!ValidFormat(format))
        return STATUS_INVALID_BUFFER_SIZE;
    const KSDATARANGE* range = internal::MatchingRange(descriptor, *format, 0, nullptr);
    if (range == nullptr)
        return STATUS_NO_MATCH;
    if (PinInstanceCount(filter, pin_id) >= descriptor->InstancesPossible)
        return STATUS_UNSUCCESSFUL;

    auto* pin = new Pin;
    pin->filter = filter;
    UseFormat(pin, format);
    pin->pin.Descriptor = descriptor;
    pin->pin.Bag = &pin->bag;
    pin->pin.Id = pin_id;
    pin->pin.Communication = KSPIN_COMMUNICATION_SINK;
    pin->pin.ConnectionIsExternal = TRUE;
    pin->pin.DataFlow = descriptor->PinDescriptor.DataFlow;
    pin->pin.DeviceState = KSSTATE_STOP;
    pin->pin.ResetState = KSRESET_END;
    pin->pin.ClientState = KSSTATE_STOP;
    if (options.master_clock)
        pin->clock.reset(internal::NewPinClock());
    internal::RegisterObject(&pin->pin, filter->device, internal::ObjectKind::kPin, pin);

    const KSPIN_DISPATCH* dispatch = DispatchOf(pin);
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch != nullptr && dispatch->SetDataFormat != nullptr)
        status = dispatch->SetDataFormat(&pin->pin, nullptr, nullptr, range, nullptr);
    if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Create != nullptr) {
        PIRP irp = internal::NewRequest(filter, IRP_MJ_CREATE);
        status = irp == nullptr ? STATUS_INSUFFICIENT_RESOURCES : dispatch->Create(&pin->pin, irp);
        internal::FreeRequest(irp);
    }
    if (!NT_SUCCESS(status)) {
        DestroyPin(pin);
        return status;
    }
    internal::StartProcessing(pin);
    {
        std::lock_guard<std::mutex> guard(filter->pins_mutex);
        filter->pins.push_back(pin);
    }
    *pin_out = pin;
    return STATUS_SUCCESS;
}

NTSTATUS SetPinFormat(Pin* pin, const KSDATAFORMAT* format) {
    if (!ValidFormat(format))
        return STATUS_INVALID_BUFFER_SIZE;
    const KSDATARANGE* range = internal::MatchingRange(pin->pin.Descriptor, *format, 0, nullptr);
    if (range == nullptr)
        return STATUS_NO_MATCH;
    const KSPIN_DISPATCH* dispatch = DispatchOf(pin);
    std::vector<uint8_t> old_format = std::move(pin->format);
    UseFormat(pin, format);
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
        status = dispatch->SetDataFormat(
            &pin->pin, reinterpret_cast<PKSDATAFORMAT>(old_format.data()), nullptr, range, nullptr);
    }
    if (!NT_SUCCESS(status)) {
        pin->format = std::move(old_format);
        pin->pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
    }
    return status;
}

NTSTATUS SetPinState(Pin* pin, KSSTATE state) {
    KSSTATE current = pin->pin.DeviceState;
    while (current != state) {
        KSSTATE next = (KSSTATE)(current < state ? current + 1 : current - 1);
        bool entering_run = next == KSSTATE_RUN;
        bool leaving_run = current == KSSTATE_RUN;
        if (entering_run || leaving_run)
            FollowRunState(pin, entering_run);
        NTSTATUS status = CallSetDeviceState(pin, next, current);
        if (!NT_SUCCESS(status)) {
            if (entering_run || leaving_run)
                FollowRunState(pin, leaving_run);
            return status;
        }
        pin->pin.DeviceState = next;
        pin->pin.ClientState = next;
        if (next == KSSTATE_STOP) {
            internal::WaitProcessingIdle(pin);
            internal::FlushQueue(pin);
        }
        current = next;
    }
    return STATUS_SUCCESS;
}

KSSTATE PinState(Pin* pin) {
    return pin->pin.DeviceState;
}

NTSTATUS ClosePin(Pin* pin) {
    SetPinState(pin, KSSTATE_STOP);
    internal::StopProcessing(pin);
    Filter* filter = pin->filter;
    {
        std::lock_guard<std::mutex> guard(filter->pins_mutex);
        std::erase(filter->pins, pin);
    }
    NTSTATUS status = STATUS_SUCCESS;
    const KSPIN_DISPATCH* dispatch = DispatchOf(pin);
    if (dispatch != nullptr && dispatch->Close != nullptr) {
        // As for a filter, a close runs even when no request can be allocated for it.
        PIRP irp = internal::NewRequest(filter, IRP_MJ_CLOSE);
        status = dispatch->Close(&pin->pin, irp);
        internal::FreeRequest(irp);
    }
    DestroyPin(pin);
    return status;
}

PKSPIN PinObject(Pin* pin) {
    return &pin->pin;
}

const KSALLOCATOR_FRAMING_EX* PinAllocatorFraming(Pin* pin) {
    return pin->pin.Descriptor != nullptr ? pin->pin.Descriptor->AllocatorFraming : nullptr;
}

}  // namespace platform::ks::client
