// Running camctl as a user does, from a test: in the test's own folder, with its own configuration
// folder (so no run reads or writes the user's settings), standard output and error kept apart.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

#include "tests/support/scratch_dir.h"

namespace camtest {

struct CamctlResult {
    int status = -1;  // the exit status, -1 when camctl did not exit normally
    std::string out;
    std::string err;
    // "NAME=" line's value, empty when there is no such line.
    std::string Value(const std::string& name) const {
        const std::string key = name + "=";
        for (size_t at = 0; at < out.size();) {
            size_t end = out.find('\n', at);
            if (end == std::string::npos)
                end = out.size();
            if (out.compare(at, key.size(), key) == 0)
                return out.substr(at + key.size(), end - at - key.size());
            at = end + 1;
        }
        return "";
    }
};

// A shell command run in the test's folder.
inline CamctlResult RunInFolder(const ScratchDir& dir, const std::string& command) {
    const std::string err_file = dir.File(".stderr");
    const std::string line = "cd '" + dir.path().string() + "' && XDG_CONFIG_HOME='" +
                             dir.File("config") + "' " + command + " 2>'" + err_file + "'";
    CamctlResult result;
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr)
        return result;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.out.append(buffer.data(), n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = ReadText(err_file);
    return result;
}

// `args` as a shell would split them; `redirect` is appended (such as "> frames.bgra").
inline CamctlResult RunCamctl(const ScratchDir& dir, const std::string& args,
                              const std::string& redirect = "") {
    return RunInFolder(dir, CAMCTL_PATH " " + args + " " + redirect);
}

inline bool HasCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace camtest
