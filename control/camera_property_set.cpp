// The property set's item table, made at compile time from the client-visible item table: an
// item's id, directions and minimum sizes are written once, there.
#include "control/camera_property_set.h"

namespace {

using camdrv::kCameraItemCount;

struct ItemTable {
    KSPROPERTY_ITEM items[kCameraItemCount];
};

constexpr ItemTable MakeItemTable() {
    ItemTable table{};
    for (ULONG i = 0; i < kCameraItemCount; ++i) {
        const camdrv::CameraItemInfo& info = camdrv::kCameraItems[i];
        const PFNKSHANDLER handler =
            IsConstantItem(info.id) ? ConstantPropertyHandler : CameraPropertyHandler;
        KSPROPERTY_ITEM& item = table.items[i];
        item.PropertyId = (ULONG)info.id;
        item.GetPropertyHandler = (info.access & camdrv::kItemGet) != 0 ? handler : nullptr;
        item.MinProperty = info.min_size;
        item.MinData = info.min_size;
        item.SetPropertyHandler = (info.access & camdrv::kItemSet) != 0 ? handler : nullptr;
    }
    return table;
}

constexpr ItemTable kItemTable = MakeItemTable();

constexpr bool ConstantItemsAreFixedAndReadOnly() {
    for (const camdrv::CameraItemInfo& info : camdrv::kCameraItems) {
        if (IsConstantItem(info.id) && (!info.fixed || info.access != camdrv::kItemGet))
            return false;
    }
    return true;
}
static_assert(ConstantItemsAreFixedAndReadOnly(),
              "a constant item reports its fixed number and serves gets only");

constexpr KSPROPERTY_SET kPropertySets[] = {
    {&camdrv::kCameraPropertySet, kCameraItemCount, kItemTable.items, 0, nullptr},
};

}  // namespace

const KSAUTOMATION_TABLE kCameraAutomationTable = {
    sizeof(kPropertySets) / sizeof(kPropertySets[0]),
    sizeof(KSPROPERTY_ITEM),
    kPropertySets,
    0,  // MethodSetsCount
    0,
    nullptr,
    0,  // EventSetsCount
    0,
    nullptr,
};
