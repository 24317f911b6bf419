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
    if (!link_speed.empty())
        camtools::ParseLinkSpeed(link_speed, &options.link_speed);
    return options;
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
