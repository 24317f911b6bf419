// The driver is kernel-mode code: its folders include the platform's umbrella header, each other's
// headers, the client-visible contract and SIMD intrinsics, nothing else. The contract is compiled
// into the driver, so it includes only the platform's kernel-streaming header and itself. The tools
// include none of the driver's headers but the conversion kernels.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

const char* const kDriverFolders[] = {"driver", "usb", "camera", "imaging", "control"};

bool InFolder(const std::string& path, const std::string& folder) {
    return path.rfind(folder + "/", 0) == 0 && path.find("..") == std::string::npos;
}

bool Allowed(const std::string& delimiter, const std::string& path) {
    static const std::set<std::string> kIntrinsics = {"emmintrin.h", "xmmintrin.h", "pmmintrin.h",
                                                      "tmmintrin.h", "smmintrin.h", "nmmintrin.h",
                                                      "immintrin.h"};
    if (delimiter == "<")
        return kIntrinsics.count(path) != 0;
    if (path == "platform/ddk.h" || InFolder(path, "camdrv"))
        return true;
    for (const char* folder : kDriverFolders) {
        if (InFolder(path, folder))
            return true;
    }
    return false;
}

// Tools are applications: they reach the driver through the class driver and the client-visible
// contract, never through its headers. The conversion kernels are the exception, for convert.
bool AllowedInTools(const std::string& delimiter, const std::string& path) {
    if (delimiter == "<")
        return true;
    for (const char* folder : kDriverFolders) {
        if (InFolder(path, folder))
            return std::string(folder) == "imaging";
    }
    return path.find("..") == std::string::npos;
}

bool AllowedInContract(const std::string& delimiter, const std::string& path) {
    return delimiter == "\"" && (path == "platform/ks.h" || InFolder(path, "camdrv"));
}

// Checks every include line of the .h and .cpp files under `folder`; returns the files seen.
int CheckFolder(const fs::path& root, bool (*allowed)(const std::string&, const std::string&)) {
    const std::regex include_line(R"(^\s*#\s*include\s*([<"])([^>"]+)[>"])");
    int files = 0;
    if (!fs::exists(root))
        return 0;
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
            EXPECT_TRUE(allowed(match[1], match[2]))
                << entry.path().string() << ":" << number << " includes " << match[2];
        }
    }
    return files;
}

TEST(IncludeRulesTest, DriverFoldersIncludeOnlyThePlatformHeaderAndTheirOwn) {
    int files = 0;
    for (const char* folder : kDriverFolders)
        files += CheckFolder(fs::path(CAM_SOURCE_DIR) / folder, Allowed);
    EXPECT_GT(files, 0);
}

TEST(IncludeRulesTest, TheClientContractIncludesOnlyTheKernelStreamingHeader) {
    EXPECT_GT(CheckFolder(fs::path(CAM_SOURCE_DIR) / "include" / "camdrv", AllowedInContract), 0);
}

TEST(IncludeRulesTest, ToolsIncludeNoDriverHeaderButTheConversionKernels) {
    EXPECT_GT(CheckFolder(fs::path(CAM_SOURCE_DIR) / "tools", AllowedInTools), 0);
}

TEST(IncludeRulesTest, TheCheckRejectsWhatTheRulesForbid) {
    EXPECT_FALSE(AllowedInTools("\"", "driver/camera_context.h"));
    EXPECT_FALSE(AllowedInTools("\"", "control/settings_table.h"));
    EXPECT_TRUE(AllowedInTools("\"", "imaging/frame_processor.h"));
    EXPECT_TRUE(AllowedInTools("\"", "platform/ks_client.h"));
    EXPECT_FALSE(Allowed("<", "vector"));
    EXPECT_FALSE(Allowed("<", "cstring"));
    EXPECT_FALSE(Allowed("\"", "platform/verifier.h"));
    EXPECT_FALSE(Allowed("\"", "sim/sim_camera.h"));
    EXPECT_FALSE(Allowed("\"", "driver/../sim/x.h"));
    EXPECT_TRUE(Allowed("<", "emmintrin.h"));
    EXPECT_TRUE(Allowed("\"", "usb/usb_device.h"));
    EXPECT_TRUE(Allowed("\"", "camdrv/camera_properties.h"));
    EXPECT_FALSE(AllowedInContract("\"", "platform/ks_client.h"));
    EXPECT_FALSE(AllowedInContract("\"", "driver/camera_context.h"));
    EXPECT_FALSE(AllowedInContract("<", "cstdint"));
    EXPECT_TRUE(AllowedInContract("\"", "platform/ks.h"));
}

}  // namespace
