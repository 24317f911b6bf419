// camctl's subcommands and the options they share.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

#include "tools/common/camera_filter.h"
#include "tools/common/session.h"

namespace camctl {

inline constexpr int kFailure = 1;
inline constexpr int kUsageError = 2;

// The options before or after the subcommand that set up the session.
struct CommonOptions {
    std::string registry;
    std::string usb_trace;
    std::string scene = "chart";
    std::string link_speed;
    std::string driver;
    CLI::Option* registry_option = nullptr;
    CLI::Option* usb_trace_option = nullptr;
    CLI::Option* scene_option = nullptr;
    CLI::Option* link_speed_option = nullptr;
    CLI::Option* driver_option = nullptr;

    camtools::SessionOptions Session() const;
};

// Which common options a command takes: those of the settings store and the USB trace, and for
// commands that take frames also those of what the camera sees and how fast it sends.
enum class CommonSet { kSettings, kFrames };
// Adds them to `app` and the commands below it (so its help lists them), bound to `common`; on the
// top level also the pointers that say whether they were given.
void AddCommonOptions(CLI::App* app, CommonOptions* common, CommonSet set, bool top_level);

// --set NAME=VALUE, repeatable.
void AddSetOption(CLI::App* app, std::vector<std::string>* sets, const std::string& when);

// A subcommand's parser, and what runs when the command line chose it; the run returns the exit
// status.
struct Command {
    CLI::App* app;
    std::function<int()> run;
    CommonSet common = CommonSet::kSettings;
};

Command AddInfo(CLI::App& camctl, const CommonOptions& common);
Command AddConvert(CLI::App& camctl, const CommonOptions& common);
Command AddCapture(CLI::App& camctl, const CommonOptions& common);
Command AddListControls(CLI::App& camctl, const CommonOptions& common);
Command AddGet(CLI::App& camctl, const CommonOptions& common);
Command AddSet(CLI::App& camctl, const CommonOptions& common);
Command AddRegister(CLI::App& camctl, const CommonOptions& common);
Command AddMemory(CLI::App& camctl, const CommonOptions& common);
Command AddRawCommand(CLI::App& camctl, const CommonOptions& common);
Command AddReinitialize(CLI::App& camctl, const CommonOptions& common);
Command AddReset(CLI::App& camctl, const CommonOptions& common);
Command AddServe(CLI::App& camctl, const CommonOptions& common);

// "camctl NAME: message" on standard error; return the status to exit with.
int Fail(const std::string& command, const std::string& message);
int UsageError(const std::string& command, const std::string& message);

// Brings up the session the common options describe, opens the camera's filter and runs `work`
// on it; `work` returns what went wrong, or an empty string. Closing the filter and the session
// saves the settings, and a failure there fails the command too.
int WithFilter(const std::string& command, const CommonOptions& common,
               const std::function<std::string(camtools::CameraFilter&)>& work);

}  // namespace camctl
