// Which folder may include what. Every include line of every folder is resolved to the file it
// names and judged by the rules of the including folder; a folder without rules fails.
//
// The driver is kernel-mode code: it includes the platform's umbrella header, the client-visible
// contract, intrinsics and its own folders, and those only downwards: driver/ over control/ over
// camera/ over usb/, with imaging/ below control/. Upwards it reaches only the camera context,
// which every subsystem shares, and, from control/, the driver headers its property handlers call.
// The contract is compiled into the driver and clients alike, so it includes only the platform's
// kernel-streaming header. The platform stand-in and the simulated camera know nothing of the
// driver. Tools are applications: the contract, the host side of the platform, the simulated
// camera, and of the driver only the conversion kernels, for convert. Benchmarks measure the
// product's parts directly, stood up by the test support that needs no GoogleTest, and so do fuzz
// targets. Tests keep their helpers in their own folder or in tests/support.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kRoot = fs::path(CAM_SOURCE_DIR).lexically_normal();

const char* const kDriverFolders[] = {"driver", "usb", "camera", "imaging", "control"};

// Each driver folder's folders below it.
const std::map<std::string, std::set<std::string>> kBelow = {
    {"driver", {"control", "camera", "usb", "imaging"}},
    {"control", {"camera", "usb", "imaging"}},
    {"camera", {"usb"}},
    {"usb", {}},
    {"imaging", {}},
};

// The only driver/ headers that the folders below may include.
const std::map<std::string, std::set<std::string>> kUpward = {
    {"control",
     {"driver/camera_context.h", "driver/camera_context_ops.h", "driver/camera_init.h",
      "driver/image_size.h"}},
    {"camera", {"driver/camera_context.h"}},
    {"usb", {"driver/camera_context.h"}},
    {"imaging", {"driver/camera_context.h"}},
};

const std::set<std::string> kIntrinsics = {"emmintrin.h", "xmmintrin.h", "pmmintrin.h",
                                           "tmmintrin.h", "smmintrin.h", "nmmintrin.h",
                                           "immintrin.h"};

const char kDdk[] = "platform/include/platform/ddk.h";
const char kPublicPlatform[] = "platform/include/platform";
const char kContract[] = "include/camdrv";

bool Under(const std::string& path, const std::string& folder) {
    return path.rfind(folder + "/", 0) == 0;
}

bool InDriver(const std::string& path) {
    for (const char* folder : kDriverFolders) {
        if (Under(path, folder))
            return true;
    }
    return false;
}

std::string TopFolder(const std::string& path) {
    return path.substr(0, path.find('/'));
}

struct Include {
    std::string file;  // the including file, from the source root
    bool angled;
    std::string spelled;
    std::string target;  // the file it names, from the source root; empty when none in the tree
};

// As the compiler finds it: beside the including file (quoted only), then in the include
// directories the targets share.
std::string Resolve(const std::string& file, bool angled, const std::string& spelled) {
    std::vector<fs::path> candidates;
    if (!angled)
        candidates.push_back(fs::path(file).parent_path() / spelled);
    for (const char* directory : {"", "include", "platform/include"})
        candidates.push_back(fs::path(directory) / spelled);
    for (const fs::path& candidate : candidates) {
        const fs::path normal = candidate.lexically_normal();
        if (!normal.empty() && *normal.begin() != ".." && fs::is_regular_file(kRoot / normal))
            return normal.generic_string();
    }
    return "";
}

// Reads an include line; false for any other line.
bool ParseInclude(const std::string& file, const std::string& line, Include* include) {
    static const std::regex kIncludeLine(R"(^\s*#\s*include\s*([<"])([^>"]+)[>"])");
    std::smatch match;
    if (!std::regex_search(line, match, kIncludeLine))
        return false;
    const bool angled = match[1] == "<";
    *include = {file, angled, match[2], Resolve(file, angled, match[2])};
    return true;
}

std::vector<Include> IncludesOf(const std::string& file) {
    std::vector<Include> includes;
    std::ifstream in(kRoot / file);
    std::string line;
    Include include;
    while (std::getline(in, line)) {
        if (ParseInclude(file, line, &include))
            includes.push_back(include);
    }
    return includes;
}

// The files reached from start through the includes whose targets follow accepts, start included.
std::set<std::string> Reached(const std::string& start,
                              const std::function<bool(const std::string&)>& follow) {
    std::set<std::string> seen;
    std::vector<std::string> pending = {start};
    while (!pending.empty()) {
        const std::string file = pending.back();
        pending.pop_back();
        if (!seen.insert(file).second)
            continue;
        for (const Include& include : IncludesOf(file)) {
            if (follow(include.target))
                pending.push_back(include.target);
        }
    }
    return seen;
}

// The public platform headers that the driver's umbrella header brings in: the kernel side.
// Every other public platform header is a host-side seam.
const std::set<std::string>& KernelSidePlatformHeaders() {
    static const std::set<std::string> headers =
        Reached(kDdk, [](const std::string& target) { return Under(target, kPublicPlatform); });
    return headers;
}

// An imaging header that needs nothing beyond imaging/, the platform's umbrella, the contract and
// intrinsics, however deep its includes go: a conversion kernel that tools may use.
bool IsStandaloneImagingHeader(const std::string& header) {
    const auto in_imaging = [](const std::string& target) { return Under(target, "imaging"); };
    for (const std::string& file : Reached(header, in_imaging)) {
        for (const Include& include : IncludesOf(file)) {
            const bool intrinsic =
                include.target.empty() && include.angled && kIntrinsics.count(include.spelled);
            if (!intrinsic && !in_imaging(include.target) && include.target != kDdk &&
                !Under(include.target, kContract))
                return false;
        }
    }
    return true;
}

// A header of tests/support that needs no GoogleTest, however deep its includes go: the rig and
// its helpers, which benchmarks link.
bool IsSupportWithoutGoogleTest(const std::string& header) {
    if (!Under(header, "tests/support"))
        return false;
    const auto in_tree = [](const std::string& target) { return !target.empty(); };
    for (const std::string& file : Reached(header, in_tree)) {
        for (const Include& include : IncludesOf(file)) {
            if (include.target.empty() && include.spelled.rfind("gtest/", 0) == 0)
                return false;
        }
    }
    return true;
}

// A library or system header, or a file of the including target's own build found by a bare
// name (a generated table, say): host-side code may use either, the driver neither.
bool IsOutsideTheTree(const Include& include) {
    return include.target.empty() &&
           (include.angled || include.spelled.find('/') == std::string::npos);
}

// Each rule answers why an include is refused, or "" when it is allowed.
using Rule = std::function<std::string(const Include&)>;

std::string DriverRule(const Include& include) {
    const std::string from = TopFolder(include.file);
    const std::string& target = include.target;
    if (target.empty()) {
        return include.angled && kIntrinsics.count(include.spelled) != 0
                   ? ""
                   : "the driver includes no library or system header";
    }
    if (target == kDdk || Under(target, kContract))
        return "";
    if (!InDriver(target))
        return "the driver includes only the platform's umbrella header, the contract and itself";
    const std::string to = TopFolder(target);
    if (to == from || kBelow.at(from).count(to) != 0)
        return "";
    const auto upward = kUpward.find(from);
    if (upward != kUpward.end() && upward->second.count(target) != 0)
        return "";
    return from + "/ may not include " + to + "/: it is not below it";
}

std::string ContractRule(const Include& include) {
    return include.target == "platform/include/platform/ks.h" || Under(include.target, kContract)
               ? ""
               : "the contract includes only the platform's kernel-streaming header and itself";
}

std::string PlatformRule(const Include& include) {
    return IsOutsideTheTree(include) || Under(include.target, "platform")
               ? ""
               : "the platform includes only itself";
}

std::string SimRule(const Include& include) {
    return IsOutsideTheTree(include) || Under(include.target, "sim") ||
                   Under(include.target, kPublicPlatform)
               ? ""
               : "the simulated camera includes only itself and the platform's public headers";
}

std::string ToolsRule(const Include& include) {
    const std::string& target = include.target;
    const bool platform_host_side =
        Under(target, kPublicPlatform) && KernelSidePlatformHeaders().count(target) == 0;
    const bool conversion_kernel = Under(target, "imaging") && IsStandaloneImagingHeader(target);
    return IsOutsideTheTree(include) || Under(target, "tools") || Under(target, kContract) ||
                   Under(target, "sim") || platform_host_side || conversion_kernel
               ? ""
               : "tools reach the driver as clients do; of its headers only the conversion kernels";
}

// Benchmarks and fuzz targets stand the product up with the test support that needs no GoogleTest.
std::string ProductUserRule(const Include& include) {
    const std::string& target = include.target;
    const bool product = InDriver(target) || Under(target, kContract) ||
                         Under(target, kPublicPlatform) || Under(target, "sim") ||
                         Under(target, "tools");
    return IsOutsideTheTree(include) || Under(target, TopFolder(include.file)) || product ||
                   IsSupportWithoutGoogleTest(target)
               ? ""
               : "benchmarks and fuzz targets use the product's public headers and the test "
                 "support that needs no GoogleTest, not tests or platform internals";
}

std::string TestsRule(const Include& include) {
    const std::string& target = include.target;
    if (IsOutsideTheTree(include))
        return "";
    if (target.empty())
        return "names no file of the tree";
    // tests/<folder>/...: the test folder the including file belongs to.
    const std::string own =
        include.file.substr(0, include.file.find('/', std::string("tests/").size()));
    if (Under(target, "tests") && !Under(target, "tests/support") && !Under(target, own))
        return "a test shares helpers through tests/support, not from another test folder";
    if (Under(target, "platform/src") && !Under(include.file, "tests/platform"))
        return "only the platform's own tests see its internals";
    return "";
}

// The rule of the folder a file lies in; null for a folder without rules.
Rule RuleFor(const std::string& file) {
    if (InDriver(file))
        return DriverRule;
    if (Under(file, kContract))
        return ContractRule;
    const std::map<std::string, Rule> rules = {
        {"platform", PlatformRule}, {"sim", SimRule},          {"tools", ToolsRule},
        {"bench", ProductUserRule}, {"fuzz", ProductUserRule}, {"tests", TestsRule}};
    const auto rule = rules.find(TopFolder(file));
    return rule == rules.end() ? nullptr : rule->second;
}

// Why an include line in a file is refused, or "" when it is allowed.
std::string Judge(const std::string& file, const std::string& line) {
    Include include;
    if (!ParseInclude(file, line, &include))
        return "not an include line";
    const Rule rule = RuleFor(file);
    return rule ? rule(include) : "no include rules for " + TopFolder(file) + "/";
}

bool IsSource(const fs::path& path) {
    const std::string extension = path.extension().string();
    return extension == ".h" || extension == ".cpp";
}

TEST(IncludeRulesTest, EveryIncludeOfEveryFolderKeepsItsFoldersRules) {
    std::set<std::string> folders;
    for (auto entry = fs::recursive_directory_iterator(kRoot);
         entry != fs::recursive_directory_iterator(); ++entry) {
        const std::string name = entry->path().filename().string();
        if (entry->is_directory() && (name.front() == '.' || name == "build")) {
            entry.disable_recursion_pending();
            continue;
        }
        if (!entry->is_regular_file() || !IsSource(entry->path()))
            continue;
        const std::string file = entry->path().lexically_relative(kRoot).generic_string();
        folders.insert(TopFolder(file));
        const Rule rule = RuleFor(file);
        if (!rule) {
            ADD_FAILURE() << file << ": no include rules for " << TopFolder(file) << "/";
            continue;
        }
        for (const Include& include : IncludesOf(file)) {
            const std::string refusal = rule(include);
            EXPECT_EQ(refusal, "") << file << " includes " << include.spelled;
        }
    }
    for (const char* folder : {"driver", "usb", "camera", "imaging", "control", "include",
                               "platform", "sim", "tools", "bench", "fuzz", "tests"})
        EXPECT_EQ(folders.count(folder), 1u) << "no sources seen in " << folder << "/";
}

TEST(IncludeRulesTest, TheRulesRefuseWhatTheyForbid) {
    struct Case {
        const char* file;
        const char* line;
        bool allowed;
    };
    const Case cases[] = {
        // The driver's layers, downwards only.
        {"driver/x.cpp", R"(#include "control/settings_table.h")", true},
        {"control/x.cpp", R"(#include "imaging/color_table.h")", true},
        {"camera/x.cpp", R"(#include "usb/usb_transport.h")", true},
        {"usb/x.cpp", R"(#include "camera/protocol.h")", false},
        {"camera/x.cpp", R"(#include "control/settings_table.h")", false},
        {"camera/x.cpp", R"(#include "driver/descriptors.h")", false},
        {"imaging/x.cpp", R"(#include "control/settings_table.h")", false},
        {"imaging/x.cpp", R"(#include "camera/protocol.h")", false},
        {"camera/x.cpp", R"(#include "imaging/conversion.h")", false},
        {"usb/x.cpp", R"(#include "driver/pool_tags.h")", false},
        // The shared record for every subsystem; the property surface for control/ alone.
        {"usb/x.cpp", R"(#include "driver/camera_context.h")", true},
        {"imaging/x.cpp", R"(#include "driver/camera_context.h")", true},
        {"control/x.cpp", R"(#include "driver/image_size.h")", true},
        {"camera/x.cpp", R"(#include "driver/image_size.h")", false},
        {"camera/x.cpp", R"(#include "driver/camera_init.h")", false},
        // Nothing but the umbrella header, the contract and intrinsics from outside.
        {"driver/x.cpp", "#include <vector>", false},
        {"driver/x.cpp", "#include <cstring>", false},
        {"imaging/x.cpp", "#include <emmintrin.h>", true},
        {"driver/x.cpp", R"(#include "platform/verifier.h")", false},
        {"driver/x.cpp", R"(#include "sim/sim_camera.h")", false},
        {"driver/x.cpp", R"(#include "driver/../sim/sim_camera.h")", false},
        {"driver/x.cpp", R"(#include "generated.h")", false},
        {"usb/x.cpp", R"(#include "camdrv/camera_properties.h")", true},
        {"include/camdrv/x.h", R"(#include "platform/ks.h")", true},
        {"include/camdrv/x.h", R"(#include "platform/ks_client.h")", false},
        {"include/camdrv/x.h", R"(#include "driver/camera_context.h")", false},
        {"include/camdrv/x.h", "#include <cstdint>", false},
        // The stand-in and the camera know nothing of the driver or of each other's insides.
        {"platform/src/usb/x.cpp", R"(#include "port.h")", true},
        {"platform/src/usb/x.cpp", R"(#include "driver/camera_context.h")", false},
        {"platform/src/usb/x.cpp", R"(#include "sim/sim_camera.h")", false},
        {"sim/x.cpp", R"(#include "platform/usb_bus.h")", true},
        {"sim/x.cpp", R"(#include "platform/src/usb/port.h")", false},
        {"sim/x.cpp", R"(#include "camdrv/camera_properties.h")", false},
        {"sim/x.cpp", R"(#include "usb/usb_transport.h")", false},
        // Tools: clients, plus the conversion kernels.
        {"tools/camctl/x.cpp", R"(#include "platform/ks_client.h")", true},
        {"tools/camctl/x.cpp", R"(#include "sim/sim_camera.h")", true},
        {"tools/camctl/x.cpp", R"(#include "imaging/frame_processor.h")", true},
        {"tools/camctl/x.cpp", R"(#include "imaging/color_settings.h")", false},
        {"tools/camctl/x.cpp", R"(#include "control/settings_table.h")", false},
        {"tools/camctl/x.cpp", R"(#include "driver/camera_context.h")", false},
        {"tools/camctl/x.cpp", R"(#include "platform/ks.h")", false},
        {"bench/x.cpp", R"(#include "usb/usb_transport.h")", true},
        {"bench/x.cpp", R"(#include "tools/camctl/command.h")", true},
        {"bench/x.cpp", R"(#include "tests/support/rig.h")", true},
        {"bench/x.cpp", R"(#include "tests/support/scratch_dir.h")", false},
        {"bench/x.cpp", R"(#include "tests/support/camctl_runner.h")", false},
        {"bench/x.cpp", R"(#include "tests/usb/failing_filter.h")", false},
        {"bench/x.cpp", R"(#include "platform/src/usb/port.h")", false},
        // Tests share helpers through tests/support; only the platform's tests see its insides.
        {"tests/camera/x.cpp", R"(#include "tests/support/scratch_dir.h")", true},
        {"tests/usb/x.cpp", R"(#include "tests/usb/failing_filter.h")", true},
        {"tests/camera/x.cpp", R"(#include "tests/usb/failing_filter.h")", false},
        {"tests/e2e/x.cpp", R"(#include "platform/src/usb/port.h")", false},
        {"tests/platform/usb/x.cpp", R"(#include "platform/src/usb/port.h")", true},
        {"fuzz/x.cpp", R"(#include "tests/support/rig.h")", true},
        {"fuzz/x.cpp", R"(#include "platform/src/usb/port.h")", false},
        {"fuzz/x.cpp", R"(#include "tests/usb/failing_filter.h")", false},
        {"docs/x.cpp", R"(#include "platform/ddk.h")", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Judge(c.file, c.line).empty(), c.allowed) << c.file << ": " << c.line;
}

}  // namespace
