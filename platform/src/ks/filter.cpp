// Filter instances: opened on a device's filter factory with their own object bag, closed with
// their pins.
#include <algorithm>

#include "ks_objects.h"
#include "platform/verifier.h"

namespace platform::ks::client {

namespace {

void DestroyFilter(Filter* filter) {
    internal::FreeBag(&filter->bag);
    internal::UnregisterObject(&filter->filter);
    {
        std::lock_guard<std::recursive_mutex> hold(filter->device->lock);
        std::erase(filter->device->filters, filter);
    }
    delete filter;
}

const KSFILTER_DISPATCH* DispatchOf(Filter* filter) {
    return filter->filter.Descriptor != nullptr ? filter->filter.Descriptor->Dispatch : nullptr;
}

}  // namespace

NTSTATUS OpenFilter(PKSDEVICE ks_device, const WCHAR* reference, Filter** filter_out) {
    *filter_out = nullptr;
    internal::Device* device = internal::DeviceOfObject(ks_device);
    if (device == nullptr) {
        verifier::Violation("OpenFilter: unknown device");
        return STATUS_INVALID_PARAMETER;
    }
    internal::FilterFactory* factory = internal::FindFactory(device, reference);
    if (factory == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto* filter = new Filter;
    filter->device = device;
    filter->filter.Descriptor = factory->factory.FilterDescriptor;
    filter->filter.Bag = &filter->bag;
    internal::RegisterObject(&filter->filter, device, internal::ObjectKind::kFilter, filter);
    {
        std::lock_guard<std::recursive_mutex> hold(device->lock);
        device->filters.push_back(filter);
    }
    NTSTATUS status = STATUS_SUCCESS;
    const KSFILTER_DISPATCH* dispatch = DispatchOf(filter);
    if (dispatch != nullptr && dispatch->Create != nullptr) {
        PIRP irp = internal::NewRequest(filter, IRP_MJ_CREATE);
        status =
            irp == nullptr ? STATUS_INSUFFICIENT_RESOURCES : dispatch->Create(&filter->filter, irp);
        internal::FreeRequest(irp);
    }
    if (!NT_SUCCESS(status)) {
        DestroyFilter(filter);
        return status;
    }
    *filter_out = filter;
    return STATUS_SUCCESS;
}

NTSTATUS CloseFilter(Filter* filter) {
    for (;;) {
        Pin* pin = nullptr;
        {
            std::lock_guard<std::mutex> guard(filter->pins_mutex);
            if (filter->pins.empty())
                break;
            pin = filter->pins.back();
        }
        ClosePin(pin);
    }
    NTSTATUS status = STATUS_SUCCESS;
    const KSFILTER_DISPATCH* dispatch = DispatchOf(filter);
    if (dispatch != nullptr && dispatch->Close != nullptr) {
        // A close cannot be refused: when pool is short the callback still runs, without a
        // request, as the system keeps closes going in low memory.
        PIRP irp = internal::NewRequest(filter, IRP_MJ_CLOSE);
        status = dispatch->Close(&filter->filter, irp);
        internal::FreeRequest(irp);
    }
    DestroyFilter(filter);
    return status;
}

PKSFILTER FilterObject(Filter* filter) {
    return &filter->filter;
}

ULONG PinDescriptorCount(Filter* filter) {
    const KSFILTER_DESCRIPTOR* descriptor = filter->filter.Descriptor;
    return descriptor != nullptr ? descriptor->PinDescriptorsCount : 0;
}

const KSPIN_DESCRIPTOR_EX* PinDescriptor(Filter* filter, ULONG pin_id) {
    const KSFILTER_DESCRIPTOR* descriptor = filter->filter.Descriptor;
    if (descriptor == nullptr || pin_id >= descriptor->PinDescriptorsCount)
        return nullptr;
    // Descriptors may be larger than a KSPIN_DESCRIPTOR_EX: the filter says how far apart.
    const UCHAR* first = reinterpret_cast<const UCHAR*>(descriptor->PinDescriptors);
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(first + (size_t)pin_id *
                                                                    descriptor->PinDescriptorSize);
}

ULONG PinInstanceCount(Filter* filter, ULONG pin_id) {
    std::lock_guard<std::mutex> guard(filter->pins_mutex);
    ULONG count = 0;
    for (const Pin* pin : filter->pins)
        count += pin->pin.Id == pin_id ? 1 : 0;
    return count;
}

}  // namespace platform::ks::client
