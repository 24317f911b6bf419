// The table of live class-driver objects and devices, and of the requests handed to the driver.
#include <algorithm>
#include <map>

#include "ks_objects.h"
#include "platform/verifier.h"

namespace platform::ks::internal {
namespace {

struct Entry {
    Device* device;
    ObjectKind kind;
    void* owner;
};

struct ObjectTable {
    std::mutex mutex;
    std::map<const void*, Entry> objects;
    std::map<PIRP, client::Filter*> requests;
    std::vector<Device*> devices;
    uint64_t devices_mark = 0;  // allocation mark when the first live device was created
};

// Never destroyed: system threads may still look objects up while the process exits.
ObjectTable& Table() {
    static ObjectTable* table = new ObjectTable;
    return *table;
}

}  // namespace

void RegisterObject(const void* object, Device* device, ObjectKind kind, void* owner) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.objects[object] = Entry{device, kind, owner};
}

void UnregisterObject(const void* object) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.objects.erase(object);
}

Device* DeviceOfObject(const void* object) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.objects.find(object);
    return it == table.objects.end() ? nullptr : it->second.device;
}

client::Filter* FilterOfObject(const void* object) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.objects.find(object);
    if (it == table.objects.end() || it->second.kind != ObjectKind::kFilter)
        return nullptr;
    return static_cast<client::Filter*>(it->second.owner);
}

client::Pin* PinOfObject(const void* object) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.objects.find(object);
    if (it == table.objects.end() || it->second.kind != ObjectKind::kPin)
        return nullptr;
    return static_cast<client::Pin*>(it->second.owner);
}

void AddDevice(Device* device) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    if (table.devices.empty())
        table.devices_mark = verifier::AllocationMark();
    table.devices.push_back(device);
    table.objects[&device->device] = Entry{device, ObjectKind::kDevice, device};
}

bool RemoveDeviceEntry(Device* device, uint64_t* first_device_mark) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.objects.erase(&device->device);
    std::erase(table.devices, device);
    *first_device_mark = table.devices_mark;
    return table.devices.empty();
}

bool AnyDevice() {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    return !table.devices.empty();
}

Device* DeviceOfFunctionalObject(PDEVICE_OBJECT functional) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    for (Device* device : table.devices) {
        if (device->functional == functional)
            return device;
    }
    return nullptr;
}

void RegisterIrp(PIRP irp, client::Filter* filter) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.requests[irp] = filter;
}

void UnregisterIrp(PIRP irp) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    table.requests.erase(irp);
}

client::Filter* FilterOfIrp(PIRP irp) {
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.requests.find(irp);
    return it == table.requests.end() ? nullptr : it->second;
}

PIRP NewRequest(client::Filter* filter, UCHAR major_function) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    if (irp == nullptr)
        return nullptr;
    // The driver is the top of this stack: its location becomes the current one.
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = major_function;
    RegisterIrp(irp, filter);
    return irp;
}

void FreeRequest(PIRP irp) {
    if (irp == nullptr)
        return;
    UnregisterIrp(irp);
    IoFreeIrp(irp);
}

}  // namespace platform::ks::internal

PKSFILTER NTAPI KsGetFilterFromIrp(PIRP irp) {
    platform::ks::client::Filter* filter = platform::ks::internal::FilterOfIrp(irp);
    if (filter == nullptr) {
        platform::verifier::Violation("KsGetFilterFromIrp: not a request to a filter or pin");
        return nullptr;
    }
    return &filter->filter;
}
