// Running camctl as a user does, from a test: in the test's own folder, with its own configuration
// folder (so no run reads or writes the user's settings), standard output and error kept apart.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

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

// camctl with the driver under test: under the image (CAM_DRIVER_IMAGE) every command that brings
// the camera up gets --driver; convert, which does not, refuses it.
inline std::string CamctlWithDriver(const std::string& args) {
    const char* image = std::getenv("CAM_DRIVER_IMAGE");
    if (image == nullptr || args.rfind("convert", 0) == 0)
        return CAMCTL_PATH;
    return std::string(CAMCTL_PATH " --driver ") + image;
}

// `args` as a shell would split them; `redirect` is appended (such as "> frames.bgra").
inline CamctlResult RunCamctl(const ScratchDir& dir, const std::string& args,
                              const std::string& redirect = "") {
    return RunInFolder(dir, CamctlWithDriver(args) + " " + args + " " + redirect);
}

// camctl started beside the test with `args`; once `ready` holds (asked every 50 ms, for at most
// a minute), sent `signal_number`; then what it wrote and how it exited.
inline CamctlResult InterruptCamctl(const ScratchDir& dir, const std::string& args,
                                    const std::function<bool()>& ready, int signal_number) {
    const std::string out_file = dir.File(".stdout");
    const std::string err_file = dir.File(".stderr");
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string line = "cd '" + dir.path().string() + "' && XDG_CONFIG_HOME='" +
                                 dir.File("config") + "' exec " CAMCTL_PATH " " + args + " >'" +
                                 out_file + "' 2>'" + err_file + "'";
        execl("/bin/sh", "sh", "-c", line.c_str(), (char*)nullptr);
        _exit(127);
    }
    CamctlResult result;
    if (pid < 0)
        return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ready() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(pid, signal_number);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadText(out_file);
    result.err = ReadText(err_file);
    return result;
}

// camctl serve running beside the test, in the test's folder: started with `args`, its address
// and token read from the URL it prints first, stopped with SIGTERM.
class ServeRun {
  public:
    ServeRun(const ScratchDir& dir, const std::string& args) : err_file_(dir.File(".serve-err")) {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            const std::string line = "cd '" + dir.path().string() + "' && XDG_CONFIG_HOME='" +
                                     dir.File("config") + "' exec " + CamctlWithDriver("serve") +
                                     " serve " + args + " 2>'" + err_file_ + "'";
            execl("/bin/sh", "sh", "-c", line.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        const std::string marker = "open http://";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (output_.find('\n', output_.find(marker)) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline && Read(1000)) {
        }
        const size_t at = output_.find(marker);
        const size_t end = output_.find('\n', at);
        if (at == std::string::npos || end == std::string::npos)
            return;
        const std::string url = output_.substr(at + marker.size(), end - at - marker.size());
        host_ = url.substr(0, url.find('/'));
        port_ = std::atoi(host_.substr(host_.rfind(':') + 1).c_str());
        token_ = url.substr(url.find("token=") + 6);
    }
    ~ServeRun() { Stop(); }
    ServeRun(const ServeRun&) = delete;
    ServeRun& operator=(const ServeRun&) = delete;

    bool started() const { return port_ != 0; }
    const std::string& host() const { return host_; }  // 127.0.0.1:PORT
    int port() const { return port_; }
    const std::string& token() const { return token_; }

    // SIGTERM, then everything serve wrote and how it exited.
    CamctlResult Stop() {
        CamctlResult result;
        if (pid_ <= 0)
            return result;
        kill(pid_, SIGTERM);
        while (Read(-1)) {
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        close(out_);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = output_;
        result.err = ReadText(err_file_);
        return result;
    }

  private:
    // Appends what serve wrote within timeout_ms. False once serve's output has ended (or cannot
    // be read); true after data or a quiet `timeout_ms`, since a slow start (a sanitizer build)
    // may print nothing for seconds.
    bool Read(int timeout_ms) {
        pollfd ready = {out_, POLLIN, 0};
        const int polled = poll(&ready, 1, timeout_ms);
        if (polled == 0)
            return true;
        if (polled < 0)
            return false;
        char buffer[4096];
        const ssize_t n = read(out_, buffer, sizeof(buffer));
        if (n <= 0)
            return false;
        output_.append(buffer, (size_t)n);
        return true;
    }

    std::string err_file_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    std::string host_;
    int port_ = 0;
    std::string token_;
};

inline bool HasCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace camtest
