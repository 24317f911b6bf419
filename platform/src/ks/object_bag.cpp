// Object bags: records owned by a class-driver object, freed when the object goes away.
#include <algorithm>
#include <cstring>

#include "ks_objects.h"
#include "platform/ks.h"
#include "platform/verifier.h"

namespace platform::ks::internal {

NTSTATUS AddToBag(ObjectBag* bag, PVOID item, PFNKSFREE free) {
    if (bag == nullptr || item == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(bag->mutex);
    bag->items.emplace_back(item, free);
    return STATUS_SUCCESS;
}

static void FreeItem(PVOID item, PFNKSFREE free) {
    if (free != nullptr) {
        free(item);
    } else {
        ExFreePool(item);
    }
}

void FreeBag(ObjectBag* bag) {
    std::vector<std::pair<PVOID, PFNKSFREE>> items;
    {
        std::lock_guard<std::mutex> guard(bag->mutex);
        items.swap(bag->items);
    }
    for (auto it = items.rbegin(); it != items.rend(); ++it)
        FreeItem(it->first, it->second);
}

bool FreeBagItem(ObjectBag* bag, PVOID item) {
    std::pair<PVOID, PFNKSFREE> found{nullptr, nullptr};
    {
        std::lock_guard<std::mutex> guard(bag->mutex);
        auto it = std::find_if(bag->items.begin(), bag->items.end(),
                               [item](const auto& entry) { return entry.first == item; });
        if (it == bag->items.end())
            return false;
        found = *it;
        bag->items.erase(it);
    }
    FreeItem(found.first, found.second);
    return true;
}

}  // namespace platform::ks::internal

using platform::ks::internal::ObjectBag;

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG object_bag, PVOID item, PFNKSFREE free) {
    return platform::ks::internal::AddToBag(static_cast<ObjectBag*>(object_bag), item, free);
}

NTSTATUS _KsEdit(KSOBJECT_BAG object_bag, PVOID* pointer_to_pointer_to_item, ULONG new_size,
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
