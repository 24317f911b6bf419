// The image loader: a tiny image it maps, relocates, binds and enters through the system's
// convention; each hand-broken image refused with its own status and message; random damage that
// never crashes it; and the stand-in's module tables against the system's import libraries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/image_loader.h"
#include "tests/platform/loader/tiny_image.h"

namespace {

using camtest::TinyImage;
using platform::loader::Export;
using platform::loader::LoadImage;
using platform::loader::LoadResult;
using platform::loader::Module;
namespace pe = platform::pe;

PDRIVER_OBJECT g_probe_driver = nullptr;
PUNICODE_STRING g_probe_path = nullptr;
constexpr NTSTATUS kProbeStatus = 0x1234;

NTSTATUS NTAPI Probe(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    g_probe_driver = driver;
    g_probe_path = path;
    return kProbeStatus;
}

int g_probe_datum = 0;

const Export kTestExports[] = {{"Probe", (const void*)&Probe},
                               {"ProbeDatum", (const void*)&g_probe_datum}};
const Module kTestModules[] = {{"ntoskrnl.exe", {}}, {"TEST.SYS", kTestExports}};

LoadResult Load(const TinyImage& image) {
    return LoadImage(image.bytes, kTestModules);
}

// The protections of the mappings that overlap [from, to), as /proc/self/maps shows them ("r-xp").
std::vector<std::string> ProtectionsIn(uintptr_t from, uintptr_t to) {
    std::ifstream maps("/proc/self/maps");
    std::vector<std::string> found;
    std::string line;
    while (std::getline(maps, line)) {
        uintptr_t start = 0, end = 0;
        char protection[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, protection) == 3 && start < to &&
            end > from)
            found.push_back(protection);
    }
    return found;
}

std::string ProtectionAt(const void* address) {
    const auto at = (uintptr_t)address;
    const std::vector<std::string> found = ProtectionsIn(at, at + 1);
    return found.empty() ? "unmapped" : found[0];
}

TEST(ImageLoader, MapsRelocatesBindsAndEntersATinyImageAndUnmapsIt) {
    TinyImage tiny;
    LoadResult result = Load(tiny);
    ASSERT_EQ(result.status, STATUS_SUCCESS) << result.message;
    const uint8_t* base = result.image->Base();

    uint64_t moved;
    std::memcpy(&moved, base + TinyImage::kDataRva, sizeof(moved));
    EXPECT_EQ(moved, (uint64_t)(uintptr_t)(base + TinyImage::kTextRva));
    uint64_t datum;
    std::memcpy(&datum, base + TinyImage::kAddressRva + 8, sizeof(datum));
    EXPECT_EQ(datum, (uint64_t)(uintptr_t)&g_probe_datum);

    EXPECT_EQ(ProtectionAt(base), "r--p");
    EXPECT_EQ(ProtectionAt(base + TinyImage::kTextRva), "r-xp");
    EXPECT_EQ(ProtectionAt(base + TinyImage::kDataRva), "rw-p");
    EXPECT_EQ(ProtectionAt(base + TinyImage::kRelocRva), "r--p");

    // The entry jumps through the address table: the arguments arrive only if both sides of the
    // call use the system's convention.
    DRIVER_OBJECT driver{};
    UNICODE_STRING path{};
    EXPECT_EQ(result.image->EntryPoint()(&driver, &path), kProbeStatus);
    EXPECT_EQ(g_probe_driver, &driver);
    EXPECT_EQ(g_probe_path, &path);

    result.image.reset();
    EXPECT_EQ(ProtectionAt(base), "unmapped");
}

struct Broken {
    const char* what;
    std::function<void(TinyImage&)> patch;
    NTSTATUS status;
    const char* message;
};

TEST(ImageLoader, RefusesEachBrokenImageWithItsOwnStatusAndMessage) {
    const uint32_t nt = TinyImage::kNtHeaders;
    const auto optional = [](TinyImage& t) -> pe::OptionalHeader64& { return t.Nt().Optional; };
    const auto reloc_block = [](TinyImage& t) -> pe::BaseRelocationBlock& {
        return *reinterpret_cast<pe::BaseRelocationBlock*>(t.bytes.data() + TinyImage::kRelocFile);
    };
    const auto descriptor = [](TinyImage& t) -> pe::ImportDescriptor& {
        return *reinterpret_cast<pe::ImportDescriptor*>(
            t.bytes.data() + TinyImage::FileOffsetOf(TinyImage::kDescriptorRva));
    };
    const Broken cases[] = {
        {"a file shorter than the DOS header", [](TinyImage& t) { t.bytes.resize(10); },
         STATUS_INVALID_IMAGE_NOT_MZ, "truncated: 10 bytes cannot hold the 64-byte DOS header"},
        {"no MZ", [](TinyImage& t) { t.Put<uint16_t>(0, 0x1234); }, STATUS_INVALID_IMAGE_NOT_MZ,
         "it does not begin MZ"},
        {"e_lfanew past the file", [](TinyImage& t) { t.Put<uint32_t>(0x3C, 0x9F0); },
         STATUS_INVALID_IMAGE_FORMAT, "truncated: the file header at 0x9f0"},
        {"no PE signature", [&](TinyImage& t) { t.Put<uint32_t>(nt, 0); },
         STATUS_INVALID_IMAGE_FORMAT, "no PE signature at 0x40"},
        {"a 32-bit machine", [](TinyImage& t) { t.Nt().File.Machine = 0x14C; },
         STATUS_INVALID_IMAGE_FORMAT, "machine 0x14c is not x64 (0x8664)"},
        {"an optional header too small",
         [](TinyImage& t) { t.Nt().File.SizeOfOptionalHeader = 16; }, STATUS_INVALID_IMAGE_FORMAT,
         "an optional header of 16 bytes"},
        {"a PE32 header", [&](TinyImage& t) { optional(t).Magic = 0x10B; },
         STATUS_INVALID_IMAGE_FORMAT, "magic 0x10b is not PE32+"},
        {"an object file", [](TinyImage& t) { t.Nt().File.Characteristics = 0; },
         STATUS_INVALID_IMAGE_FORMAT, "not an executable image"},
        {"a DLL", [](TinyImage& t) { t.Nt().File.Characteristics |= pe::kFileDll; },
         STATUS_INVALID_IMAGE_FORMAT, "a DLL, not a driver"},
        {"stripped relocations",
         [](TinyImage& t) { t.Nt().File.Characteristics |= pe::kFileRelocsStripped; },
         STATUS_INVALID_IMAGE_FORMAT, "relocations were stripped"},
        {"a GUI program", [&](TinyImage& t) { optional(t).Subsystem = 2; },
         STATUS_INVALID_IMAGE_FORMAT, "subsystem 2 is not the native subsystem"},
        {"sections aligned below a page",
         [&](TinyImage& t) { optional(t).SectionAlignment = 0x200; }, STATUS_INVALID_IMAGE_FORMAT,
         "section alignment 0x200"},
        {"an image size of 0", [&](TinyImage& t) { optional(t).SizeOfImage = 0; },
         STATUS_INVALID_IMAGE_FORMAT, "image size 0x0"},
        {"no sections", [](TinyImage& t) { t.Nt().File.NumberOfSections = 0; },
         STATUS_INVALID_IMAGE_FORMAT, "0 sections"},
        {"a section table past the headers",
         [](TinyImage& t) { t.Nt().File.NumberOfSections = 12; }, STATUS_INVALID_IMAGE_FORMAT,
         "the section table ends at 0x328"},
        {"a file cut inside a section", [](TinyImage& t) { t.bytes.resize(0x900); },
         STATUS_INVALID_IMAGE_FORMAT, "truncated: section .reloc's data at 0x800"},
        {"a section beyond the image size",
         [](TinyImage& t) { t.Section(TinyImage::kReloc).VirtualAddress = 0x5000; },
         STATUS_INVALID_IMAGE_FORMAT, "section .reloc at 0x5000 (0x200 bytes) lies outside"},
        {"a section over the headers",
         [](TinyImage& t) { t.Section(TinyImage::kData).VirtualAddress = 0; },
         STATUS_INVALID_IMAGE_FORMAT, "section .data at 0x0"},
        {"overlapping sections",
         [](TinyImage& t) { t.Section(TinyImage::kData).VirtualSize = 0x1200; },
         STATUS_INVALID_IMAGE_FORMAT, "sections .data and .idata overlap"},
        {"writable code",
         [](TinyImage& t) { t.Section(TinyImage::kText).Characteristics |= pe::kSectionMemWrite; },
         STATUS_INVALID_IMAGE_FORMAT, "section .text is both writable and executable"},
        {"an entry point in data",
         [&](TinyImage& t) { optional(t).AddressOfEntryPoint = TinyImage::kDataRva; },
         STATUS_INVALID_IMAGE_FORMAT, "the entry point 0x2000 is not in an executable section"},
        {"a relocation directory outside the image",
         [&](TinyImage& t) {
             optional(t).Directory[pe::kDirectoryEntryBaseReloc].VirtualAddress = 0x4FFC;
         },
         STATUS_INVALID_IMAGE_FORMAT, "the relocation directory at 0x4ffc"},
        {"a relocation block larger than its directory",
         [&](TinyImage& t) { reloc_block(t).SizeOfBlock = 0x100; }, STATUS_INVALID_IMAGE_FORMAT,
         "has a size of 0x100"},
        {"a relocation outside the image",
         [&](TinyImage& t) { reloc_block(t).VirtualAddress = 0x9000; }, STATUS_INVALID_IMAGE_FORMAT,
         "a relocation at 0x9000 lies outside the image"},
        {"a 32-bit relocation",
         [](TinyImage& t) { t.Put<uint16_t>(TinyImage::kRelocFile + 8, 3 << 12); },
         STATUS_INVALID_IMAGE_FORMAT, "relocation type 3 at 0x2000"},
        {"import descriptors outside the image",
         [&](TinyImage& t) {
             optional(t).Directory[pe::kDirectoryEntryImport].VirtualAddress = 0x4FF0;
         },
         STATUS_INVALID_IMAGE_FORMAT, "the import descriptors at 0x4ff0 run out of the image"},
        {"a module name outside the image", [&](TinyImage& t) { descriptor(t).Name = 0x7000; },
         STATUS_INVALID_IMAGE_FORMAT, "the module name of import descriptor 0"},
        {"an address table outside the image",
         [&](TinyImage& t) { descriptor(t).FirstThunk = 0x6000; }, STATUS_INVALID_IMAGE_FORMAT,
         "the import table of TEST.SYS runs out of the image"},
        {"a symbol name outside the image",
         [](TinyImage& t) {
             t.Put<uint64_t>(TinyImage::FileOffsetOf(TinyImage::kLookupRva), 0x8000);
         },
         STATUS_INVALID_IMAGE_FORMAT, "the name of import 0 from TEST.SYS"},
        {"an import by ordinal",
         [](TinyImage& t) {
             t.Put<uint64_t>(TinyImage::FileOffsetOf(TinyImage::kLookupRva),
                             pe::kImportByOrdinal | 7);
         },
         STATUS_ORDINAL_NOT_FOUND, "imports ordinal 7 from TEST.SYS"},
        {"a module the stand-in lacks",
         [](TinyImage& t) {
             t.PutString(TinyImage::FileOffsetOf(TinyImage::kModuleRva), "other.sys");
         },
         STATUS_DLL_NOT_FOUND, "imports from other.sys, which the stand-in does not provide"},
        {"a symbol the stand-in lacks",
         [](TinyImage& t) {
             t.PutString(TinyImage::FileOffsetOf(TinyImage::kDatumNameRva) + 2, "Missing");
         },
         STATUS_PROCEDURE_NOT_FOUND,
         "imports Missing from TEST.SYS, which the stand-in does not provide"},
    };
    std::set<std::string> messages;
    for (const Broken& broken : cases) {
        TinyImage image;
        broken.patch(image);
        const LoadResult result = Load(image);
        EXPECT_EQ(result.status, broken.status) << broken.what << ": " << result.message;
        EXPECT_THAT(result.message, testing::HasSubstr(broken.message)) << broken.what;
        EXPECT_EQ(result.image, nullptr) << broken.what;
        EXPECT_TRUE(messages.insert(result.message).second) << broken.what << " shares a message";
    }
}

// Random damage in the parts the loader reads, many times over: each image is refused or loaded,
// never a crash or a read outside the file or the mapping (the sanitizer builds see those), and
// a loaded one still has no page both writable and executable.
TEST(ImageLoader, SurvivesRandomDamageToHeadersImportsAndRelocations) {
    std::mt19937 random(20261209);
    const std::pair<uint32_t, uint32_t> regions[] = {
        {0, 0x1E8},
        {TinyImage::kIdataFile, TinyImage::kIdataFile + 0xC0},
        {TinyImage::kRelocFile, TinyImage::kRelocFile + 12},
    };
    int loaded = 0;
    for (int round = 0; round < 4000; ++round) {
        TinyImage image;
        const int damages = 1 + (int)(random() % 4);
        for (int d = 0; d < damages; ++d) {
            const auto& region = regions[random() % 3];
            const uint32_t at = region.first + random() % (region.second - region.first);
            image.bytes[at] = random() % 4 == 0 ? 0xFF : (uint8_t)random();
        }
        if (random() % 16 == 0)
            image.bytes.resize(random() % image.bytes.size());
        const LoadResult result = Load(image);
        if (result.image == nullptr) {
            ASSERT_FALSE(NT_SUCCESS(result.status));
            ASSERT_FALSE(result.message.empty());
            continue;
        }
        ++loaded;
        const auto base = (uintptr_t)result.image->Base();
        for (const std::string& protection : ProtectionsIn(base, base + result.image->Size()))
            ASSERT_FALSE(protection[1] == 'w' && protection[2] == 'x') << "round " << round;
    }
    EXPECT_GT(loaded, 0);  // some damage is harmless (a hint, padding), and that must still load
}

// The image we ship, under the image label: it loads against the stand-in's modules with every
// import bound, no page of it is both writable and executable, and its symbol table (which the
// tests use to reach its globals) names its entry point.
TEST(ImageLoader, TheDriverImageLoadsAgainstTheStandInsModules) {
    const char* path = std::getenv("CAM_DRIVER_IMAGE");
    if (path == nullptr)
        GTEST_SKIP() << "CAM_DRIVER_IMAGE names no driver image (the image label sets it)";
    const LoadResult result = platform::loader::LoadImageFile(path);
    ASSERT_EQ(result.status, STATUS_SUCCESS) << result.message;
    EXPECT_EQ(result.image->Symbol("DriverEntry"), (void*)result.image->EntryPoint());
    EXPECT_NE(result.image->Symbol("frame_timeout_ms"), nullptr);
    const auto base = (uintptr_t)result.image->Base();
    const std::vector<std::string> protections = ProtectionsIn(base, base + result.image->Size());
    EXPECT_GE(protections.size(), 3u);
    for (const std::string& protection : protections)
        EXPECT_FALSE(protection[1] == 'w' && protection[2] == 'x') << protection;
}

// Each routine the stand-in exports is one the system's module of that name exports, as the
// cross toolchain's import libraries list them (the same lists the image check uses).
TEST(ImageLoader, EveryStandInExportIsOneItsSystemModuleHas) {
    const std::string tool = "x86_64-w64-mingw32-nm";
    const std::string libs = "/usr/x86_64-w64-mingw32/lib/";
    if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << tool << " is missing (binutils-mingw-w64-x86-64)";
    for (const Module& module : platform::loader::SystemModules()) {
        std::string stem = module.name;
        stem = stem.substr(0, stem.find('.'));
        for (char& c : stem)
            c = (char)std::tolower((unsigned char)c);
        const std::string archive = libs + "lib" + stem + ".a";
        FILE* pipe = popen((tool + " " + archive + " 2>/dev/null").c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::set<std::string> exported;
        char line[512];
        while (std::fgets(line, sizeof(line), pipe) != nullptr) {
            std::istringstream words(line);
            std::string address, kind, symbol;
            if (words >> address >> kind >> symbol && kind == "I" && symbol.rfind("__imp_", 0) == 0)
                exported.insert(symbol.substr(6));
        }
        pclose(pipe);
        if (exported.empty())
            GTEST_SKIP() << archive << " is missing (mingw-w64-x86-64-dev)";
        for (const Export& entry : module.exports)
            EXPECT_EQ(exported.count(entry.name), 1u) << module.name << " lacks " << entry.name;
    }
}

}  // namespace
