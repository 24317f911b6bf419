// camctl reset: settings back to the values a camera starts with when nothing is stored.
#include <cstdio>
#include <memory>

#include "tools/camctl/command.h"
#include "tools/common/arguments.h"
#include "tools/common/item_names.h"
#include "tools/common/status_text.h"

namespace camctl {

namespace {

using camdrv::CameraItemInfo;

struct Default {
    const CameraItemInfo* item;
    LONG value;
};

// The defaults are the driver's own: read from a device whose store is empty and lives in memory,
// so that nothing but the driver says what they are.
std::string ReadDefaults(const std::vector<const CameraItemInfo*>& items,
                         std::vector<Default>* defaults) {
    camtools::SessionOptions options;
    options.memory_store = true;
    camtools::Session session(options);
    if (session.device() == nullptr)
        return session.error();
    camtools::CameraFilter filter(session.device());
    if (!NT_SUCCESS(filter.status()))
        return "cannot open the filter: " + camtools::StatusText(filter.status());
    for (const CameraItemInfo* item : items) {
        LONG value = 0;
        const NTSTATUS status = filter.Get(item->id, &value);
        if (!NT_SUCCESS(status))
            return camtools::PropertyFailure(item->id, false, status);
        defaults->push_back({item, value});
    }
    filter.Close();
    return session.Close();
}

// The settings named, in the order settings are listed (automatic white balance before the gains
// it hands over when switched off); all when none is named.
std::vector<const CameraItemInfo*> Chosen(const std::vector<std::string>& names) {
    std::vector<const CameraItemInfo*> chosen;
    for (const CameraItemInfo* item : camtools::SettingItems()) {
        bool named = names.empty();
        for (const std::string& name : names)
            named = named || camdrv::SameNameIgnoringCase(name.c_str(), item->name);
        if (named)
            chosen.push_back(item);
    }
    return chosen;
}

int RunReset(const CommonOptions& common, const std::vector<std::string>& names) {
    std::vector<Default> defaults;
    const std::string problem = ReadDefaults(Chosen(names), &defaults);
    if (!problem.empty())
        return Fail("reset", "the defaults could not be read: " + problem);
    return WithFilter("reset", common, [&defaults](camtools::CameraFilter& filter) {
        for (const Default& entry : defaults) {
            const NTSTATUS status = filter.Set(entry.item->id, entry.value);
            if (!NT_SUCCESS(status))
                return camtools::PropertyFailure(entry.item->id, true, status);
            std::printf("%s=%d\n", entry.item->name, (int)entry.value);
        }
        return std::string();
    });
}

CLI::Validator SettingNameCheck() {
    return CLI::Validator(
        [](std::string& name) -> std::string {
            const CameraItemInfo* item = nullptr;
            std::string problem = camtools::CheckItemName(name, true, &item);
            if (problem.empty() && !camtools::IsSetting(*item))
                problem = std::string(item->name) + " is not a setting";
            return problem;
        },
        "", "setting name");
}

}  // namespace

Command AddReset(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand(
        "reset",
        "put the settings named (all when none is) back to the values a camera starts "
        "with when nothing is stored, and print them");
    auto names = std::make_shared<std::vector<std::string>>();
    app->add_option("NAME", *names, "a setting, in any case")
        ->type_name("")
        ->check(SettingNameCheck());
    return {app, [&common, names] { return RunReset(common, *names); }};
}

}  // namespace camctl
