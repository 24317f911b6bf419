// Data intersection as the class driver runs it: the pin's intersect handler with the caller's
// range and each matching range of the pin, a size query first.
#include "ks_objects.h"

namespace platform::ks::client {

NTSTATUS Intersect(Filter* filter, ULONG pin_id, const KSDATARANGE* caller_range, ULONG buffer_size,
                   PVOID buffer, ULONG* data_size) {
    *data_size = 0;
    const KSPIN_DESCRIPTOR_EX* descriptor = PinDescriptor(filter, pin_id);
    if (descriptor == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (caller_range == nullptr || caller_range->FormatSize < sizeof(KSDATARANGE))
        return STATUS_INVALID_BUFFER_SIZE;
    if (descriptor->IntersectHandler == nullptr)
        return STATUS_NOT_SUPPORTED;
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pin_id;
    ULONG index = 0;
    NTSTATUS status = STATUS_NO_MATCH;
    for (const KSDATARANGE* range = internal::MatchingRange(descriptor, *caller_range, 0, &index);
         range != nullptr && status == STATUS_NO_MATCH;
         range = internal::MatchingRange(descriptor, *caller_range, index + 1, &index)) {
        PIRP irp = internal::NewRequest(filter, IRP_MJ_DEVICE_CONTROL);
        if (irp == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
        stack->Parameters.DeviceIoControl.InputBufferLength = sizeof(request);
        stack->Parameters.DeviceIoControl.OutputBufferLength = buffer_size;
        stack->Parameters.DeviceIoControl.Type3InputBuffer = &request;
        irp->UserBuffer = buffer;
        // The filter is the handler's context, as for every pin of a filter.
        status = descriptor->IntersectHandler(
            &filter->filter, irp, &request, const_cast<PKSDATARANGE>(caller_range),
            const_cast<PKSDATARANGE>(range), buffer_size, buffer, data_size);
        internal::FreeRequest(irp);
    }
    return status;
}

NTSTATUS IntersectFormat(Filter* filter, ULONG pin_id, const KSDATARANGE* caller_range,
                         std::vector<uint8_t>* format) {
    ULONG size = 0;
    NTSTATUS status = Intersect(filter, pin_id, caller_range, 0, nullptr, &size);
    if (status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    std::vector<uint8_t> result(size);
    status = Intersect(filter, pin_id, caller_range, size, result.data(), &size);
    if (!NT_SUCCESS(status))
        return status;
    result.resize(size);
    *format = std::move(result);
    return status;
}

}  // namespace platform::ks::client
