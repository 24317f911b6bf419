// A folder of one's own under the temporary folder, unique to the run and removed with the object,
// so that runs can overlap and nothing writes a fixed path; and small file helpers.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "tests/support/failure_report.h"

namespace camtest {

class ScratchFolder {
  public:
    // <temporary folder>/<name>.XXXXXX.
    explicit ScratchFolder(std::string name) {
        for (char& c : name) {
            if (c == '/')
                c = '_';
        }
        std::error_code code;
        std::string pattern =
            (std::filesystem::temp_directory_path(code) / (name + ".XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
        else
            ReportFailure("no scratch folder could be made as " + pattern);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string File(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace camtest
