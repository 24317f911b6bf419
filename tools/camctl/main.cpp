// camctl: capture frames, list, get and set controls, convert raw files.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/camctl/command.h"

namespace {

struct Subcommand {
    const char* name;
    camctl::Command run;
    const char* usage;
};

const Subcommand kSubcommands[] = {
    {"info", camctl::RunInfo, "info                      the device, its format and its settings"},
    {"convert", camctl::RunConvert,
     "convert --size WxH [--phase N] [--set NAME=VALUE...] IN.raw OUT.bgra|.bmp|.png\n"
     "                            one raw frame file through the driver's conversion"},
};

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: camctl [--registry FILE] [--usb-trace FILE.pcap] [--scene NAME|FILE.png] "
                 "COMMAND [ARGS]\n\ncommands:\n");
    for (const Subcommand& command : kSubcommands) {
        std::fprintf(out, "  %s\n", command.usage);
    }
}

}  // namespace

int main(int argc, char** argv) {
    camctl::CommonOptions options;
    std::vector<std::string> args;
    const Subcommand* chosen = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string* common = nullptr;
        if (arg == "--registry")
            common = &options.registry;
        if (arg == "--usb-trace")
            common = &options.usb_trace;
        if (arg == "--scene")
            common = &options.scene;
        if (common != nullptr) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "camctl: %s needs a value\n", arg.c_str());
                return 2;
            }
            *common = argv[++i];
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout);
            return 0;
        }
        if (chosen == nullptr) {
            for (const Subcommand& command : kSubcommands) {
                if (arg == command.name)
                    chosen = &command;
            }
            if (chosen == nullptr) {
                std::fprintf(stderr, "camctl: unknown command '%s'\n", arg.c_str());
                PrintUsage(stderr);
                return 2;
            }
            continue;
        }
        args.push_back(arg);
    }
    if (chosen == nullptr) {
        PrintUsage(stderr);
        return 2;
    }
    // Refused rather than ignored until the driver persists its settings.
    if (!options.registry.empty()) {
        std::fprintf(stderr, "camctl: --registry: the driver does not persist settings yet\n");
        return 2;
    }
    return chosen->run(options, args);
}
