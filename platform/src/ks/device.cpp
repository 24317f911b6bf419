// Driver load and the life of class-driver devices: creation with Add, start, stop, removal.
#include <cstring>
#include <map>
#include <mutex>

#include "ks_objects.h"
#include "platform/io.h"
#include "platform/ks_host.h"
#include "platform/registry_host.h"
#include "platform/verifier.h"

namespace platform::ks::internal {
namespace {

constexpr ULONG kDeviceObjectTag = 'vDsK';  // "KsDv"

struct Registry {
    std::mutex mutex;
    std::map<const void*, Device*> objects;
    std::vector<Device*> devices;
    uint64_t devices_mark = 0;  // allocation mark when the first live device was created
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

struct DriverState {
    DRIVER_OBJECT driver_object{};
    const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
    bool loaded = false;
    uint64_t load_mark = 0;
};

DriverState& TheDriver() {
    static DriverState state;
    return state;
}

wchar_t kRegistryPath[] = L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\camdrv";

// The placeholder lower device: nothing is plugged in below, so every request fails.
NTSTATUS PlaceholderDispatch(PDEVICE_OBJECT, PIRP irp) {
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

void RegisterObject(const void* object, Device* device) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    registry.objects[object] = device;
}

void UnregisterObject(const void* object) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    registry.objects.erase(object);
}

Device* DeviceOfObject(const void* object) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    auto it = registry.objects.find(object);
    return it == registry.objects.end() ? nullptr : it->second;
}

Device* DeviceOfFunctionalObject(PDEVICE_OBJECT functional) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    for (Device* device : registry.devices) {
        if (device->functional == functional)
            return device;
    }
    return nullptr;
}

}  // namespace platform::ks::internal

namespace platform::ks {

using internal::Device;

NTSTATUS LoadDriver(PDRIVER_INITIALIZE driver_entry) {
    internal::DriverState& driver = internal::TheDriver();
    if (driver.loaded) {
        verifier::Violation("LoadDriver: a driver is already loaded");
        return STATUS_UNSUCCESSFUL;
    }
    driver = internal::DriverState{};
    driver.loaded = true;
    driver.load_mark = verifier::AllocationMark();
    driver.driver_object.Type = 4;
    driver.driver_object.Size = sizeof(DRIVER_OBJECT);
    UNICODE_STRING path;
    path.Buffer = internal::kRegistryPath;
    path.Length = (USHORT)(std::wcslen(internal::kRegistryPath) * sizeof(wchar_t));
    path.MaximumLength = (USHORT)(path.Length + sizeof(wchar_t));
    NTSTATUS status = driver_entry(&driver.driver_object, &path);
    if (!NT_SUCCESS(status))
        driver.loaded = false;
    return status;
}

size_t UnloadDriver() {
    internal::DriverState& driver = internal::TheDriver();
    if (!driver.loaded) {
        verifier::Violation("UnloadDriver: no driver is loaded");
        return 0;
    }
    {
        internal::Registry& registry = internal::TheRegistry();
        std::lock_guard<std::mutex> guard(registry.mutex);
        if (!registry.devices.empty()) {
            verifier::Violation("UnloadDriver: devices still exist");
        }
    }
    if (driver.driver_object.DriverUnload != nullptr) {
        driver.driver_object.DriverUnload(&driver.driver_object);
    }
    driver.loaded = false;
    driver.descriptor = nullptr;
    return verifier::ReportLeaks(driver.load_mark, "driver unloaded");
}

PKSDEVICE CreateDevice(PDEVICE_OBJECT next_device, NTSTATUS* status) {
    NTSTATUS ignored;
    if (status == nullptr)
        status = &ignored;
    internal::DriverState& driver = internal::TheDriver();
    if (!driver.loaded || driver.descriptor == nullptr) {
        *status = STATUS_INVALID_DEVICE_STATE;
        return nullptr;
    }
    internal::Registry& registry = internal::TheRegistry();
    {
        std::lock_guard<std::mutex> guard(registry.mutex);
        if (registry.devices.empty())
            registry.devices_mark = verifier::AllocationMark();
    }
    auto* device = new Device;
    if (next_device == nullptr) {
        device->placeholder_next = internal::NewDeviceObject(&internal::PlaceholderDriver(), 1);
        next_device = device->placeholder_next;
    }
    device->physical = internal::NewDeviceObject(&internal::PlaceholderDriver(), 1);
    device->functional =
        next_device == nullptr
            ? nullptr
            : internal::NewDeviceObject(&driver.driver_object, (CHAR)(next_device->StackSize + 1));
    if (next_device == nullptr || device->physical == nullptr || device->functional == nullptr) {
        internal::DestroyDevice(device);
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    platform::registry::DeviceCreated(device->physical);
    device->functional->AttachedDevice = nullptr;
    device->device.Descriptor = driver.descriptor;
    device->device.Bag = &device->bag;
    device->device.FunctionalDeviceObject = device->functional;
    device->device.PhysicalDeviceObject = device->physical;
    device->device.NextDeviceObject = next_device;
    {
        std::lock_guard<std::mutex> guard(registry.mutex);
        registry.devices.push_back(device);
        registry.objects[&device->device] = device;
    }
    const KSDEVICE_DISPATCH* dispatch = driver.descriptor->Dispatch;
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
    internal::Registry& registry = internal::TheRegistry();
    bool last = false;
    uint64_t mark = 0;
    {
        std::lock_guard<std::mutex> guard(registry.mutex);
        registry.objects.erase(ks_device);
        std::erase(registry.devices, device);
        last = registry.devices.empty();
        mark = registry.devices_mark;
    }
    platform::registry::DeviceRemoved(device->physical);
    internal::DestroyDevice(device);
    return last ? verifier::ReportLeaks(mark, "device removed") : 0;
}

std::vector<FilterFactoryInfo> FilterFactories(PKSDEVICE ks_device) {
    std::vector<FilterFactoryInfo> result;
    Device* device = internal::DeviceOfObject(ks_device);
    if (device == nullptr)
        return result;
    std::lock_guard<std::recursive_mutex> hold(device->lock);
    for (const auto& factory : device->factories) {
        result.push_back({factory->factory.FilterDescriptor, factory->reference_string,
                          factory->create_item_flags});
    }
    return result;
}

}  // namespace platform::ks

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driver_object, PUNICODE_STRING,
                            const KSDEVICE_DESCRIPTOR* descriptor) {
    platform::ks::internal::DriverState& driver = platform::ks::internal::TheDriver();
    if (driver_object != &driver.driver_object || descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    driver.descriptor = descriptor;
    return STATUS_SUCCESS;
}

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT device_object, const KSFILTER_DESCRIPTOR* descriptor,
                               PWSTR ref_string, PSECURITY_DESCRIPTOR, ULONG create_item_flags,
                               PVOID, PVOID, PKSFILTERFACTORY* filter_factory) {
    platform::ks::internal::Device* device =
        platform::ks::internal::DeviceOfFunctionalObject(device_object);
    if (device == nullptr || descriptor == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto factory = std::make_unique<platform::ks::internal::FilterFactory>();
    factory->factory.FilterDescriptor = descriptor;
    factory->factory.Bag = &factory->bag;
    factory->reference_string = ref_string != nullptr ? ref_string : L"";
    factory->create_item_flags = create_item_flags;
    if (filter_factory != nullptr)
        *filter_factory = &factory->factory;
    std::lock_guard<std::recursive_mutex> hold(device->lock);
    device->factories.push_back(std::move(factory));
    return STATUS_SUCCESS;
}

VOID KsAcquireDevice(PKSDEVICE ks_device) {
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

VOID KsReleaseDevice(PKSDEVICE ks_device) {
    platform::ks::internal::Device* device = platform::ks::internal::DeviceOfObject(ks_device);
    if (device == nullptr) {
        platform::verifier::Violation("KsReleaseDevice: unknown device");
        return;
    }
    device->lock.unlock();
}

PKSDEVICE KsGetDevice(PVOID object) {
    platform::ks::internal::Device* device = platform::ks::internal::DeviceOfObject(object);
    if (device == nullptr) {
        platform::verifier::Violation("KsGetDevice: not a class-driver object");
        return nullptr;
    }
    return &device->device;
}
