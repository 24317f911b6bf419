// Internal records of the class-driver stand-in.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/ks.h"

namespace platform::ks::internal {

struct ObjectBag {
    std::mutex mutex;
    std::vector<std::pair<PVOID, PFNKSFREE>> items;
};

struct FilterFactory {
    KSFILTERFACTORY factory{};
    ObjectBag bag;
    std::wstring reference_string;
    ULONG create_item_flags = 0;
};

struct Device {
    KSDEVICE device{};
    ObjectBag bag;
    std::recursive_mutex lock;  // KsAcquireDevice
    PDEVICE_OBJECT physical = nullptr;
    PDEVICE_OBJECT functional = nullptr;
    PDEVICE_OBJECT placeholder_next = nullptr;  // owned when no real lower device was given
    std::vector<std::unique_ptr<FilterFactory>> factories;
};

// Adds an item to a bag; a null free routine frees the item with ExFreePool.
NTSTATUS AddToBag(ObjectBag* bag, PVOID item, PFNKSFREE free);
// Frees every item of the bag through its free routine, the newest first.
void FreeBag(ObjectBag* bag);
// Removes an item from the bag and frees it; false when the bag does not hold it.
bool FreeBagItem(ObjectBag* bag, PVOID item);

// Registry of live class-driver objects, for KsGetDevice.
void RegisterObject(const void* object, Device* device);
void UnregisterObject(const void* object);
Device* DeviceOfObject(const void* object);
Device* DeviceOfFunctionalObject(PDEVICE_OBJECT functional);

}  // namespace platform::ks::internal
