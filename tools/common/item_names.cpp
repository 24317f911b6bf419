#include "tools/common/item_names.h"

#include <algorithm>
#include <cctype>

namespace camtools {

namespace {

using camdrv::CameraItem;
using camdrv::CameraItemInfo;

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = (char)std::tolower((unsigned char)c);
    return lower;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The command that serves an item that is not one value.
const char* ServingCommand(CameraItem id) {
    switch (id) {
        case CameraItem::WriteRegister:
            return "camctl reg write N=V";
        case CameraItem::RawCommand:
            return "camctl raw-command BYTE...";
        case CameraItem::CameraMemory:
            return "camctl mem read ADDR";
        default:
            return nullptr;
    }
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names)
        joined += (joined.empty() ? "" : ", ") + name;
    return joined;
}

}  // namespace

const CameraItemInfo* FindItem(std::string_view name) {
    const std::string wanted(name);
    for (const CameraItemInfo& item : camdrv::kCameraItems) {
        if (camdrv::SameNameIgnoringCase(item.name, wanted.c_str()))
            return &item;
    }
    return nullptr;
}

bool ReadsAsValue(const CameraItemInfo& item) {
    return (item.access & camdrv::kItemGet) != 0 &&
           item.min_size == sizeof(camdrv::CameraPropertyValue) &&
           item.id != CameraItem::WriteRegister;
}

bool WritesAsValue(const CameraItemInfo& item) {
    return (item.access & camdrv::kItemSet) != 0 &&
           item.min_size == sizeof(camdrv::CameraPropertyValue) &&
           item.id != CameraItem::WriteRegister;
}

bool ReportsState(const CameraItemInfo& item) {
    return ReadsAsValue(item) && !item.fixed && item.id != CameraItem::RegisterValue;
}

bool IsSetting(const CameraItemInfo& item) {
    return ReportsState(item) && WritesAsValue(item);
}

std::vector<const CameraItemInfo*> SettingItems() {
    std::vector<const CameraItemInfo*> settings;
    for (const CameraItemInfo& item : camdrv::kCameraItems) {
        if (IsSetting(item))
            settings.push_back(&item);
    }
    return settings;
}

bool IsSwitch(const CameraItemInfo& item) {
    switch (item.id) {
        case CameraItem::ExTrigger:
        case CameraItem::FlipH:
        case CameraItem::FlipV:
        case CameraItem::ColorEnable:
        case CameraItem::WhiteBalance:
        case CameraItem::ColorCorrection:
        case CameraItem::AGC:
        case CameraItem::AEC:
            return true;
        default:
            return false;
    }
}

bool ChangesNothing(const CameraItemInfo& item) {
    if (item.fixed)
        return (item.access & camdrv::kItemSet) != 0;
    switch (item.id) {
        case CameraItem::AGC:
        case CameraItem::AEC:
        case CameraItem::Clock:
        case CameraItem::Reserved47:
            return true;
        default:
            return false;
    }
}

std::string SetNote(const CameraItemInfo& item, LONG asked, LONG kept) {
    if (asked == kept)
        return "";
    if (ChangesNothing(item))
        return "kept: changes nothing on this camera";
    if (item.id == CameraItem::Timeout && asked < camdrv::kTimeoutMinMs)
        return "kept: takes values above " + std::to_string(camdrv::kTimeoutMinMs - 1);
    std::string note = "asked " + std::to_string(asked);
    if (const camdrv::RangeItems* range = camdrv::RangeItemsOf(item.id)) {
        note += "; range " + std::to_string(camdrv::ItemInfo(range->min).fixed_value) + ".." +
                std::to_string(camdrv::ItemInfo(range->max).fixed_value);
    }
    return note;
}

std::vector<std::string> NearestItemNames(std::string_view name, size_t count) {
    const std::string wanted = Lower(name);
    std::vector<std::pair<size_t, const char*>> ranked;
    for (const CameraItemInfo& item : camdrv::kCameraItems)
        ranked.emplace_back(EditDistance(wanted, Lower(item.name)), item.name);
    // Stable: among equally near names, item order.
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> nearest;
    for (size_t i = 0; i < ranked.size() && i < count; ++i)
        nearest.push_back(ranked[i].second);
    return nearest;
}

std::string CheckItemName(std::string_view name, bool for_set, const CameraItemInfo** found) {
    const CameraItemInfo* item = FindItem(name);
    if (found != nullptr)
        *found = item;
    if (item == nullptr) {
        return "'" + std::string(name) +
               "' is not a camera property; nearest: " + JoinNames(NearestItemNames(name));
    }
    if (for_set ? WritesAsValue(*item) : ReadsAsValue(*item))
        return "";
    if (const char* command = ServingCommand(item->id))
        return std::string(item->name) + " is a service item: use '" + command + "'";
    if (item->id == CameraItem::ImageSize)
        return "ImageSize takes a width and a height and applies only while no pin exists";
    return std::string(item->name) + (for_set ? " is read-only" : " cannot be read");
}

}  // namespace camtools
