// camctl list-ctrls, get and set: the camera's property items through property requests.
#include <cstdio>
#include <memory>

#include "tools/camctl/command.h"
#include "tools/common/arguments.h"
#include "tools/common/item_names.h"

namespace camctl {

namespace {

using camdrv::CameraItemInfo;

const char* AccessText(ULONG access) {
    switch (access) {
        case camdrv::kItemGetSet:
            return "get/set";
        case camdrv::kItemGet:
            return "get";
        default:
            return "set";
    }
}

// The item's value as a get reports it, or "-" for an item that has no value to read (set only,
// or a service item: a get of those is refused, or it talks to the camera).
std::string ValueText(camtools::CameraFilter& filter, const CameraItemInfo& item,
                      std::string* problem) {
    if (!camtools::ReadsAsValue(item))
        return "-";
    LONG value = 0;
    const NTSTATUS status = filter.Get(item.id, &value);
    if (NT_SUCCESS(status))
        return std::to_string(value);
    if (problem->empty())
        *problem = camtools::PropertyFailure(item.id, false, status);
    return "?";
}

std::string ListControls(camtools::CameraFilter& filter) {
    std::string problem;
    std::printf("%3s  %-17s  %-7s  %10s  %10s  %10s  %10s\n", "id", "name", "access", "value",
                "min", "max", "default");
    for (const CameraItemInfo& item : camdrv::kCameraItems) {
        const std::string value = ValueText(filter, item, &problem);
        std::printf("%3u  %-17s  %-7s  %10s", (unsigned)item.id, item.name, AccessText(item.access),
                    value.c_str());
        // The range as the range items report it.
        if (const camdrv::RangeItems* range = camdrv::RangeItemsOf(item.id)) {
            for (camdrv::CameraItem bound : {range->min, range->max, range->default_value}) {
                const std::string text = ValueText(filter, camdrv::ItemInfo(bound), &problem);
                std::printf("  %10s", text.c_str());
            }
        }
        std::printf("\n");
    }
    return problem;
}

std::string GetValues(camtools::CameraFilter& filter, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        const CameraItemInfo* item = camtools::FindItem(name);
        LONG value = 0;
        const NTSTATUS status = filter.Get(item->id, &value);
        if (!NT_SUCCESS(status))
            return camtools::PropertyFailure(item->id, false, status);
        std::printf("%s=%d\n", item->name, (int)value);
    }
    return "";
}

// Each set in order; then, where the driver kept something other than asked, what and why.
std::string SetValues(camtools::CameraFilter& filter,
                      const std::vector<camtools::Assignment>& assignments) {
    for (const camtools::Assignment& assignment : assignments) {
        const CameraItemInfo& item = *assignment.item;
        NTSTATUS status = filter.Set(item.id, assignment.value);
        if (!NT_SUCCESS(status))
            return camtools::PropertyFailure(item.id, true, status);
        if (!camtools::ReadsAsValue(item)) {
            if (camtools::ChangesNothing(item))
                std::printf("%s (changes nothing on this camera)\n", item.name);
            continue;
        }
        LONG kept = 0;
        status = filter.Get(item.id, &kept);
        if (!NT_SUCCESS(status))
            return camtools::PropertyFailure(item.id, false, status);
        const std::string note = camtools::SetNote(item, assignment.value, kept);
        if (!note.empty())
            std::printf("%s=%d (%s)\n", item.name, (int)kept, note.c_str());
    }
    return "";
}

}  // namespace

Command AddListControls(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand(
        "list-ctrls",
        "every property item: id, name, directions, current value, and the range of the settings "
        "that have one");
    return {app, [&common] { return WithFilter("list-ctrls", common, ListControls); }};
}

Command AddGet(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand("get", "print NAME=VALUE for each item named");
    auto names = std::make_shared<std::vector<std::string>>();
    app->add_option("NAME", *names, "a property name, in any case")
        ->type_name("")
        ->required()
        ->check(camtools::ReadableNameCheck());
    return {app, [&common, names] {
                return WithFilter("get", common, [names](camtools::CameraFilter& filter) {
                    return GetValues(filter, *names);
                });
            }};
}

Command AddSet(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand(
        "set",
        "set each NAME=VALUE in order and say where the driver kept another value; values "
        "outside a range are clamped, and settings persist");
    auto texts = std::make_shared<std::vector<std::string>>();
    app->add_option("NAME=VALUE", *texts, "a setting and its integer value (0x for hexadecimal)")
        ->type_name("")
        ->required()
        ->check(camtools::AssignmentCheck());
    return {app, [&common, texts] {
                std::vector<camtools::Assignment> assignments;
                camtools::ParseAssignments(*texts, &assignments);
                return WithFilter("set", common, [&assignments](camtools::CameraFilter& filter) {
                    return SetValues(filter, assignments);
                });
            }};
}

}  // namespace camctl
