#include "tools/camctl/command.h"

#include <cstdio>

#include "tools/common/arguments.h"
#include "tools/common/status_text.h"

namespace camctl {

camtools::SessionOptions CommonOptions::Session() const {
    camtools::SessionOptions options;
    options.registry = registry;
    options.usb_trace = usb_trace;
    options.scene = scene;
    options.driver_image = driver;
    if (!link_speed.empty())
        camtools::ParseLinkSpeed(link_speed, &options.link_speed);
    return options;
}

void AddCommonOptions(CLI::App* app, CommonOptions* common, CommonSet set, bool top_level) {
    const char* group =
        top_level ? "Common options (before or after the command)" : "Common options";
    CLI::Option* registry =
        app->add_option("--registry", common->registry,
                        "the settings file (default $XDG_CONFIG_HOME/camctl/settings.reg)")
            ->type_name("FILE")
            ->group(group)
            ->check(camtools::NonEmpty("--registry"));
    CLI::Option* usb_trace =
        app->add_option("--usb-trace", common->usb_trace, "write every USB transfer to FILE.pcap")
            ->type_name("FILE")
            ->group(group)
            ->check(camtools::NonEmpty("--usb-trace: a FILE.pcap"));
    CLI::Option* driver =
        app->add_option("--driver", common->driver,
                        "run the cross-built driver image (camdrv.sys) instead of the built-in "
                        "driver")
            ->type_name("IMAGE.sys")
            ->group(group)
            ->check(camtools::NonEmpty("--driver: an image file"));
    CLI::Option* scene = nullptr;
    CLI::Option* link_speed = nullptr;
    if (set == CommonSet::kFrames) {
        scene = app->add_option("--scene", common->scene,
                                std::string("what the camera sees: ") + camtools::kSceneChoices)
                    ->type_name("SCENE")
                    ->group(group)
                    ->check(camtools::SceneCheck());
        link_speed = app->add_option("--link-speed", common->link_speed,
                                     "bytes per second on the camera's link, or unlimited "
                                     "(default 40000000)")
                         ->type_name("BYTES_PER_S")
                         ->group(group)
                         ->check(camtools::LinkSpeedCheck());
    }
    if (top_level) {
        common->registry_option = registry;
        common->usb_trace_option = usb_trace;
        common->scene_option = scene;
        common->link_speed_option = link_speed;
        common->driver_option = driver;
        return;
    }
    for (CLI::App* below : app->get_subcommands([](CLI::App*) { return true; }))
        AddCommonOptions(below, common, set, false);
}

void AddSetOption(CLI::App* app, std::vector<std::string>* sets, const std::string& when) {
    app->add_option("--set", *sets, "NAME=VALUE: " + when + " (repeatable)")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false)
        ->check(camtools::AssignmentCheck());
}

int Fail(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "camctl %s: %s\n", command.c_str(), message.c_str());
    return kFailure;
}

int UsageError(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "camctl %s: %s\nRun 'camctl %s --help' for its usage.\n", command.c_str(),
                 message.c_str(), command.c_str());
    return kUsageError;
}

int WithFilter(const std::string& command, const CommonOptions& common,
               const std::function<std::string(camtools::CameraFilter&)>& work) {
    camtools::Session session(common.Session());
    if (session.device() == nullptr)
        return Fail(command, session.error());
    std::string problem;
    {
        camtools::CameraFilter filter(session.device());
        if (!NT_SUCCESS(filter.status()))
            return Fail(command,
                        "cannot open the filter: " + camtools::StatusText(filter.status()));
        problem = work(filter);
        const NTSTATUS closed = filter.Close();
        if (problem.empty() && !NT_SUCCESS(closed))
            problem = "closing the filter failed: " + camtools::StatusText(closed);
    }
    const std::string close_problem = session.Close();
    if (problem.empty())
        problem = close_problem;
    return problem.empty() ? 0 : Fail(command, problem);
}

}  // namespace camctl
