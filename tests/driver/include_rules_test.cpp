// The driver is kernel-mode code: its folders include the platform's umbrella header, each other's
// headers and SIMD intrinsics, nothing else.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

const char* const kDriverFolders[] = {"driver", "usb", "camera", "imaging", "control"};

bool Allowed(const std::string& delimiter, const std::string& path) {
    static const std::set<std::string> kIntrinsics = {"emmintrin.h", "xmmintrin.h", "pmmintrin.h",
                                                      "tmmintrin.h", "smmintrin.h", "nmmintrin.h",
                                                      "immintrin.h"};
    if (delimiter == "<")
        return kIntrinsics.count(path) != 0;
    if (path == "platform/ddk.h")
        return true;
    for (const char* folder : kDriverFolders) {
        const std::string prefix = std::string(folder) + "/";
        if (path.rfind(prefix, 0) == 0 && path.find("..") == std::string::npos)
            return true;
    }
    return false;
}

TEST(IncludeRulesTest, DriverFoldersIncludeOnlyThePlatformHeaderAndTheirOwn) {
    const std::regex include_line(R"(^\s*#\s*include\s*([<"])([^>"]+)[>"])");
    int files = 0;
    for (const char* folder : kDriverFolders) {
        const fs::path root = fs::path(CAM_SOURCE_DIR) / folder;
        if (!fs::exists(root))
            continue;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const std::string extension = entry.path().extension().string();
            if (extension != ".h" && extension != ".cpp")
                continue;
            ++files;
            std::ifstream in(entry.path());
            std::string line;
            int number = 0;
            while (std::getline(in, line)) {
                ++number;
                std::smatch match;
                if (!std::regex_search(line, match, include_line))
                    continue;
                EXPECT_TRUE(Allowed(match[1], match[2]))
                    << entry.path().string() << ":" << number << " includes " << match[2];
            }
        }
    }
    EXPECT_GT(files, 0);
}

TEST(IncludeRulesTest, TheCheckRejectsWhatTheRulesForbid) {
    EXPECT_FALSE(Allowed("<", "vector"));
    EXPECT_FALSE(Allowed("<", "cstring"));
    EXPECT_FALSE(Allowed("\"", "platform/verifier.h"));
    EXPECT_FALSE(Allowed("\"", "sim/sim_camera.h"));
    EXPECT_FALSE(Allowed("\"", "driver/../sim/x.h"));
    EXPECT_TRUE(Allowed("<", "emmintrin.h"));
    EXPECT_TRUE(Allowed("\"", "usb/usb_device.h"));
}

}  // namespace
