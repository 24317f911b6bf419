// camctl's subcommands and the options they share.
#pragma once

#include <string>
#include <vector>

namespace camctl {

struct CommonOptions {
    std::string registry;   // --registry FILE: the persisted settings
    std::string usb_trace;  // --usb-trace FILE.pcap: every USB transfer
    std::string scene;      // --scene NAME|FILE.png: what the simulated camera sees
};

// A subcommand gets the common options and its own arguments; returns the exit status. Errors go
// to standard error.
using Command = int (*)(const CommonOptions& options, const std::vector<std::string>& args);

int RunInfo(const CommonOptions& options, const std::vector<std::string>& args);
int RunConvert(const CommonOptions& options, const std::vector<std::string>& args);

}  // namespace camctl
