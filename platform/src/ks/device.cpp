// The life of class-driver devices: creation with Add, start, stop, removal.
#include "ks_objects.h"
#include "platform/io.h"
#include "platform/ks_host.h"
#include "platform/registry_host.h"
#include "platform/verifier.h"

namespace platform::ks::internal {
namespace {

constexpr ULONG kDeviceObjectTag = 'vDsK';  // "KsDv"

// The placeholder lower device: nothing is plugged in below, so every request fails.
NTSTATUS NTAPI PlaceholderDispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_NOT_CONNECTED;
}

DRIVER_OBJECT& PlaceholderDriver() {
    static DRIVER_OBJECT driver = [] {
        DRIVER_OBJECT object{};
        for (PDRIVER_DISPATCH& dispatch : object.MajorFunction)
            dispatch = PlaceholderDispatch;
        return object;
    }();
    return driver;
}

PDEVICE_OBJECT NewDeviceObject(PDRIVER_OBJECT driver, CHAR stack_size) {
    auto* object = static_cast<PDEVICE_OBJECT>(
        ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION),
                              sizeof(DEVICE_OBJECT), kDeviceObjectTag));
    if (object == nullptr)
        return nullptr;
    object->Type = 3;
    object->Size = sizeof(DEVICE_OBJECT);
    object->ReferenceCount = 1;
    object->DriverObject = driver;
    object->StackSize = stack_size;
    return object;
}

void FreeDeviceObject(PDEVICE_OBJECT object) {
    if (object != nullptr)
        ExFreePoolWithTag(object, kDeviceObjectTag);
}

void DestroyDevice(Device* device) {
    FreeBag(&device->bag);
    for (auto& factory : device->factories)
        FreeBag(&factory->bag);
    device->factories.clear();
    FreeDeviceObject(device->functional);
    FreeDeviceObject(device->physical);
    FreeDeviceObject(device->placeholder_next);
    delete device;
}

}  // namespace
}  // namespace platform::ks::internal

namespace platform::ks {

using internal::Device;

PKSDEVICE CreateDevice(PDEVICE_OBJECT next_device, NTSTATUS* status) {
    NTSTATUS ignored;
    if (status == nullptr)
        status = &ignored;
    const KSDEVICE_DESCRIPTOR* descriptor = internal::LoadedDescriptor();
    if (descriptor == nullptr) {
        *status = STATUS_INVALID_DEVICE_STATE;
        return nullptr;
    }
    auto* device = new Device;
    // Listed first, so that the stand-in's own device objects count towards its leak report.
    internal::AddDevice(device);
    if (next_device == nullptr) {
        device->placeholder_next = internal::NewDeviceObject(&internal::PlaceholderDriver(), 1);
        next_device = device->placeholder_next;
    }
    device->physical = internal::NewDeviceObject(&internal::PlaceholderDriver(), 1);
    device->functional = next_device == nullptr
                             ? nullptr
                             : internal::NewDeviceObject(internal::LoadedDriverObject(),
                                                         (CHAR)(next_device->StackSize + 1));
    if (next_device == nullptr || device->physical == nullptr || device->functional == nullptr) {
        RemoveDevice(&device->device);
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    platform::registry::DeviceCreated(device->physical);
    device->functional->AttachedDevice = nullptr;
    device->device.Descriptor = descriptor;
    device->device.Bag = &device->bag;
    device->device.FunctionalDeviceObject = device->functional;
    device->device.PhysicalDeviceObject = device->physical;
    device->device.NextDeviceObject = next_device;
    const KSDEVICE_DISPATCH* dispatch = descriptor->Dispatch;
    *status = (dispatch != nullptr && dispatch->Add != nullptr) ? dispatch->Add(&device->device)
                                                                : STATUS_SUCCESS;
    if (!NT_SUCCESS(*status)) {
        RemoveDevice(&device->device);
        return nullptr;
    }
    return &device->device;
}

NTSTATUS StartDevice(PKSDEVICE ks_device) {
    Device* device = internal::DeviceOfObject(ks_device);
    if (device == nullptr) {
        verifier::Violation("StartDevice: unknown device");
        return STATUS_INVALID_PARAMETER;
    }
    const KSDEVICE_DISPATCH* dispatch = ks_device->Descriptor->Dispatch;
    NTSTATUS status = (dispatch != nullptr && dispatch->Start != nullptr)
                          ? dispatch->Start(ks_device, nullptr, nullptr, nullptr)
                          : STATUS_SUCCESS;
    if (NT_SUCCESS(status))
        ks_device->Started = TRUE;
    return status;
}

void StopDevice(PKSDEVICE ks_device) {
    Device* device = internal::DeviceOfObject(ks_device);
    if (device == nullptr) {
        verifier::Violation("StopDevice: unknown device");
        return;
    }
    const KSDEVICE_DISPATCH* dispatch = ks_device->Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->Stop != nullptr)
        dispatch->Stop(ks_device, nullptr);
    ks_device->Started = FALSE;
    std::lock_guard<std::recursive_mutex> hold(device->lock);
    for (auto it = device->factories.begin(); it != device->factories.end();) {
        if ((*it)->create_item_flags & KSCREATE_ITEM_FREEONSTOP) {
            internal::FreeBag(&(*it)->bag);
            it = device->factories.erase(it);
        } else {
            ++it;
        }
    }
}

size_t RemoveDevice(PKSDEVICE ks_device) {
    Device* device = internal::DeviceOfObject(ks_device);
    if (device == nullptr) {
        verifier::Violation("RemoveDevice: unknown device");
        return 0;
    }
    {
        std::lock_guard<std::recursive_mutex> hold(device->lock);
        if (!device->filters.empty())
            verifier::Violation("RemoveDevice: filter instances are still open");
    }
    uint64_t mark = 0;
    bool last = internal::RemoveDeviceEntry(device, &mark);
    platform::registry::DeviceRemoved(device->physical);
    internal::DestroyDevice(device);
    return last ? verifier::ReportLeaks(mark, "device removed") : 0;
}

}  // namespace platform::ks

VOID NTAPI KsAcquireDevice(PKSDEVICE ks_device) {
    platform::ks::internal::Device* device = platform::ks::internal::DeviceOfObject(ks_device);
    if (device == nullptr) {
        platform::verifier::Violation("KsAcquireDevice: unknown device");
        return;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        platform::verifier::Violation("KsAcquireDevice above PASSIVE_LEVEL");
    }
    device->lock.lock();
}

VOID NTAPI KsReleaseDevice(PKSDEVICE ks_device) {
    platform::ks::internal::Device* device = platform::ks::internal::DeviceOfObject(ks_device);
    if (device == nullptr) {
        platform::verifier::Violation("KsReleaseDevice: unknown device");
        return;
    }
    device->lock.unlock();
}

PKSDEVICE NTAPI KsGetDevice(PVOID object) {
    platform::ks::internal::Device* device = platform::ks::internal::DeviceOfObject(object);
    if (device == nullptr) {
        platform::verifier::Violation("KsGetDevice: not a class-driver object");
        return nullptr;
    }
    return &device->device;
}
