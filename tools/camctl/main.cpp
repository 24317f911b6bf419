// camctl: capture frames, list, get and set controls, convert raw files.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/camctl/command.h"
#include "tools/common/arguments.h"

namespace camctl {

namespace {

constexpr const char* kStoreText =
    "Settings persist in --registry FILE, else in $XDG_CONFIG_HOME/camctl/settings.reg "
    "(~/.config/camctl/settings.reg).";

// The top level's footer; each command's own says only what concerns it.
std::string Footer() {
    return std::string("Scenes (--scene): ") + camtools::kSceneChoices +
           ".\nSettings (get, set, reset, --set; names in any case):\n" +
           camtools::SettingNamesText(2) + "\n" + kStoreText +
           "\nRun 'camctl COMMAND --help' for a command's options.\n"
           "Exit status: 0 done, 1 failed, 2 usage error.";
}

std::string SettingsFooter() {
    return "Settings (names in any case):\n" + camtools::SettingNamesText(2) + "\n" + kStoreText;
}

void SetFooters(const std::vector<Command>& commands) {
    for (const Command& command : commands) {
        const std::string& name = command.app->get_name();
        if (name == "convert") {
            command.app->footer(
                "Bayer phases (--phase): 0 GRBG (the camera's), 1 BGGR, 2 RGGB, 3 GBRG.");
        } else if (name == "capture" || name == "serve" || name == "get" || name == "set" ||
                   name == "reset" || name == "info") {
            command.app->footer(SettingsFooter());
        } else {
            command.app->footer(kStoreText);
        }
    }
}

// CLI11 would call an unknown command a missing one, or an argument it did not expect: the
// command words are checked first, each against the commands of the one before it. Returns false
// after naming the commands there are.
bool KnownCommands(const CLI::App& root, const CLI::App& app, const std::string& path, int argc,
                   char** argv, int first) {
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty() || arg[0] == '-') {
            const CLI::Option* option = app.get_option_no_throw(arg);
            if (option == nullptr)
                option = root.get_option_no_throw(arg);
            if (option != nullptr && option->get_expected_min() > 0 && i + 1 < argc)
                ++i;
            continue;
        }
        const std::vector<const CLI::App*> commands =
            app.get_subcommands([](const CLI::App*) { return true; });
        if (commands.empty())
            return true;
        std::string names;
        for (const CLI::App* command : commands) {
            if (command->get_name() == arg)
                return KnownCommands(root, *command, path + " " + arg, argc, argv, i + 1);
            names += (names.empty() ? "" : ", ") + command->get_name();
        }
        std::fprintf(stderr,
                     "%s: unknown command '%s'; the commands are %s\n"
                     "Run '%s --help' for the usage.\n",
                     path.c_str(), arg.c_str(), names.c_str(), path.c_str());
        return false;
    }
    return true;
}

}  // namespace

}  // namespace camctl

int main(int argc, char** argv) {
    using namespace camctl;
    CLI::App app{"camctl: the camera's command-line client"};
    app.name("camctl");
    app.require_subcommand(1);
    // The common options may also follow the command.
    app.fallthrough();
    app.set_version_flag("--version", "camctl " CAMCTL_VERSION);
    CommonOptions common;
    AddCommonOptions(&app, &common, CommonSet::kFrames, true);

    std::vector<Command> commands = {
        AddCapture(app, common),      AddServe(app, common),        AddInfo(app, common),
        AddListControls(app, common), AddGet(app, common),          AddSet(app, common),
        AddReset(app, common),        AddRegister(app, common),     AddMemory(app, common),
        AddRawCommand(app, common),   AddReinitialize(app, common), AddConvert(app, common),
    };
    for (const Command& command : commands) {
        if (command.app->get_name() != "convert")
            AddCommonOptions(command.app, &common, command.common, false);
    }
    SetFooters(commands);
    app.footer(Footer());
    if (!KnownCommands(app, app, "camctl", argc, argv, 1))
        return kUsageError;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0)
            return app.exit(error);
        std::fprintf(stderr, "camctl: %s\nRun 'camctl --help' for the usage.\n", error.what());
        return kUsageError;
    }
    for (const Command& command : commands) {
        if (command.app->parsed())
            return command.run();
    }
    return kUsageError;
}
