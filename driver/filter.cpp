// The capture filter: Create and Close.
#include "driver/filter.h"

#include "control/settings_persistence.h"
#include "driver/camera_context_ops.h"
#include "driver/pool_tags.h"

namespace {

VOID NTAPI FreeFilterContext(PVOID context) {
    if (context != nullptr)
        ExFreePoolWithTag(context, kFilterContextTag);
}

}  // namespace

const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    auto* context = static_cast<FilterContext*>(
        ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION),
                              sizeof(FilterContext), kFilterContextTag));
    if (context == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    context->filter = filter;
    NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, FreeFilterContext);
    if (!NT_SUCCESS(status)) {
        FreeFilterContext(context);
        return status;
    }
    filter->Context = context;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    // The settings a client changed survive it, though the device keeps running. A failed save is
    // passed over: a close cannot be refused.
    CameraContext* camera = CameraOfDevice(KsGetDevice(filter));
    if (camera != nullptr)
        SaveSettings(camera);
    return STATUS_SUCCESS;
}
