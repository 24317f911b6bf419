// Property routing: a client's property request on a filter, looked up in the filter's automation
// table, checked against the item's minimum sizes and handed to the driver's handler as an IRP.
#include "ks_objects.h"

namespace platform::ks::client {

namespace {

const KSPROPERTY_SET* FindSet(const KSAUTOMATION_TABLE* table, const GUID& set) {
    if (table == nullptr)
        return nullptr;
    for (ULONG i = 0; i < table->PropertySetsCount; ++i) {
        if (table->PropertySets[i].Set != nullptr && IsEqualGUID(*table->PropertySets[i].Set, set))
            return &table->PropertySets[i];
    }
    return nullptr;
}

const KSPROPERTY_ITEM* FindItem(const KSAUTOMATION_TABLE* table, const KSPROPERTY_SET* set,
                                ULONG id) {
    // Items may be larger than a KSPROPERTY_ITEM: the table says how far apart they are.
    ULONG stride = table->PropertyItemSize != 0 ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
    const UCHAR* first = reinterpret_cast<const UCHAR*>(set->PropertyItem);
    for (ULONG i = 0; i < set->PropertiesCount; ++i) {
        const auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(first + (size_t)i * stride);
        if (item->PropertyId == id)
            return item;
    }
    return nullptr;
}

}  // namespace

NTSTATUS PropertyRequest(Filter* filter, PVOID property, ULONG property_size, PVOID data,
                         ULONG data_size, ULONG* returned) {
    if (returned != nullptr)
        *returned = 0;
    if (property == nullptr || property_size < sizeof(KSPROPERTY))
        return STATUS_INVALID_BUFFER_SIZE;
    const KSPROPERTY& request = *static_cast<const KSPROPERTY*>(property);
    const KSAUTOMATION_TABLE* table =
        filter->filter.Descriptor != nullptr ? filter->filter.Descriptor->AutomationTable : nullptr;
    const KSPROPERTY_SET* set = FindSet(table, request.Set);
    if (set == nullptr)
        return STATUS_PROPSET_NOT_FOUND;
    const KSPROPERTY_ITEM* item = FindItem(table, set, request.Id);
    if (item == nullptr)
        return STATUS_NOT_FOUND;
    ULONG direction = request.Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
    if (direction != KSPROPERTY_TYPE_GET && direction != KSPROPERTY_TYPE_SET)
        return STATUS_NOT_SUPPORTED;
    PFNKSHANDLER handler =
        direction == KSPROPERTY_TYPE_GET ? item->GetPropertyHandler : item->SetPropertyHandler;
    if (handler == nullptr)
        return STATUS_NOT_FOUND;
    if (property_size < item->MinProperty)
        return STATUS_INVALID_BUFFER_SIZE;
    if (data_size < item->MinData) {
        if (data_size != 0)
            return STATUS_BUFFER_TOO_SMALL;
        // A zero-length buffer asks how much the item needs.
        if (returned != nullptr)
            *returned = item->MinData;
        return STATUS_BUFFER_OVERFLOW;
    }

    PIRP irp = internal::NewRequest(filter, IRP_MJ_DEVICE_CONTROL);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
    stack->Parameters.DeviceIoControl.InputBufferLength = property_size;
    stack->Parameters.DeviceIoControl.OutputBufferLength = data_size;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = property;
    irp->UserBuffer = data;
    NTSTATUS status = handler(irp, static_cast<PKSIDENTIFIER>(property), data);
    if (returned != nullptr)
        *returned = (ULONG)irp->IoStatus.Information;
    internal::FreeRequest(irp);
    return status;
}

}  // namespace platform::ks::client
