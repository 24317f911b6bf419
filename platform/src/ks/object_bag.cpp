// Object bags: records owned by a class-driver object, freed when the object goes away.
#include <algorithm>
#include <cstring>

#include "ks_objects.h"
#include "platform/ks.h"
#include "platform/verifier.h"

namespace platform::ks::internal {

namespace {

constexpr ULONG kBagEntryTag = 'gBsK';  // "KsBg" in memory order

// Frees the item and then its entry.
void FreeEntry(BagEntry* entry) {
    if (entry->free != nullptr) {
        entry->free(entry->item);
    } else {
        ExFreePool(entry->item);
    }
    ExFreePoolWithTag(entry, kBagEntryTag);
}

}  // namespace

NTSTATUS AddToBag(ObjectBag* bag, PVOID item, PFNKSFREE free) {
    if (bag == nullptr || item == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto* entry = static_cast<BagEntry*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(BagEntry), kBagEntryTag));
    if (entry == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    entry->item = item;
    entry->free = free;
    std::lock_guard<std::mutex> guard(bag->mutex);
    bag->items.push_back(entry);
    return STATUS_SUCCESS;
}

void FreeBag(ObjectBag* bag) {
    std::vector<BagEntry*> items;
    {
        std::lock_guard<std::mutex> guard(bag->mutex);
        items.swap(bag->items);
    }
    for (auto it = items.rbegin(); it != items.rend(); ++it)
        FreeEntry(*it);
}

bool FreeBagItem(ObjectBag* bag, PVOID item) {
    BagEntry* found = nullptr;
    {
        std::lock_guard<std::mutex> guard(bag->mutex);
        auto it = std::find_if(bag->items.begin(), bag->items.end(),
                               [item](const BagEntry* entry) { return entry->item == item; });
        if (it == bag->items.end())
            return false;
        found = *it;
        bag->items.erase(it);
    }
    FreeEntry(found);
    return true;
}

}  // namespace platform::ks::internal

using platform::ks::internal::ObjectBag;

NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG object_bag, PVOID item, PFNKSFREE free) {
    return platform::ks::internal::AddToBag(static_cast<ObjectBag*>(object_bag), item, free);
}

NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG object_bag, PVOID* pointer_to_pointer_to_item, ULONG new_size,
                       ULONG old_size, ULONG tag) {
    auto* bag = static_cast<ObjectBag*>(object_bag);
    if (bag == nullptr || pointer_to_pointer_to_item == nullptr || new_size == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID old_item = *pointer_to_pointer_to_item;
    PVOID new_item =
        ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), new_size, tag);
    if (new_item == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (old_item != nullptr)
        std::memcpy(new_item, old_item, std::min(old_size, new_size));
    NTSTATUS status = platform::ks::internal::AddToBag(bag, new_item, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePool(new_item);
        return status;
    }
    // Only an item the bag owned is freed: a static descriptor stays where it is.
    if (old_item != nullptr)
        platform::ks::internal::FreeBagItem(bag, old_item);
    *pointer_to_pointer_to_item = new_item;
    return STATUS_SUCCESS;
}
