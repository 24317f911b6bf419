// The headers of an image file, checked before anything is mapped: an x64 native-subsystem
// executable with relocations, whose sections lie in the image and in the file without overlapping
// and are never both writable and executable, entered in code.
#include <algorithm>
#include <cstring>

#include "loader_internal.h"

namespace platform::loader::internal {
namespace {

constexpr uint32_t kPageSize = 4096;
// The system's loader takes no more sections than this; a larger count is a damaged header.
constexpr uint16_t kMostSections = 96;
// Far above any driver; keeps a damaged size from reserving the address space.
constexpr uint32_t kLargestImage = 256u << 20;
constexpr size_t kOptionalFixedPart = offsetof(pe::OptionalHeader64, Directory);

bool IsPowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

uint64_t RoundUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool ReadHeaders(std::span<const uint8_t> file, Layout* layout, uint64_t* section_table,
                 Refusal* refusal) {
    pe::DosHeader dos;
    if (file.size() < sizeof(dos))
        return Refuse(refusal, STATUS_INVALID_IMAGE_NOT_MZ,
                      "truncated: " + std::to_string(file.size()) +
                          " bytes cannot hold the 64-byte DOS header");
    std::memcpy(&dos, file.data(), sizeof(dos));
    if (dos.e_magic != pe::kDosSignature)
        return Refuse(refusal, STATUS_INVALID_IMAGE_NOT_MZ, "not an image: it does not begin MZ");
    const uint64_t nt = dos.e_lfanew;
    if (nt + sizeof(uint32_t) + sizeof(pe::FileHeader) > file.size())
        return Refuse(
            refusal, STATUS_INVALID_IMAGE_FORMAT,
            "truncated: the file header at " + Hex(nt) + " runs past the end of the file");
    uint32_t signature;
    std::memcpy(&signature, file.data() + nt, sizeof(signature));
    if (signature != pe::kNtSignature)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "no PE signature at " + Hex(nt) + " (the DOS header's e_lfanew)");
    std::memcpy(&layout->file, file.data() + nt + sizeof(signature), sizeof(pe::FileHeader));
    const pe::FileHeader& header = layout->file;
    if (header.Machine != pe::kMachineAmd64)
        return Refuse(
            refusal, STATUS_INVALID_IMAGE_FORMAT,
            "machine " + Hex(header.Machine) + " is not x64 (" + Hex(pe::kMachineAmd64) + ")");
    const uint64_t optional = nt + sizeof(signature) + sizeof(pe::FileHeader);
    if (header.SizeOfOptionalHeader < kOptionalFixedPart ||
        optional + header.SizeOfOptionalHeader > file.size())
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "truncated: an optional header of " +
                          std::to_string(header.SizeOfOptionalHeader) +
                          " bytes does not fit the PE32+ header or the file");
    std::memcpy(&layout->optional, file.data() + optional, kOptionalFixedPart);
    const pe::OptionalHeader64& opt = layout->optional;
    if (opt.Magic != pe::kOptionalMagicPe32Plus)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "optional header magic " + Hex(opt.Magic) + " is not PE32+");
    const uint64_t directories =
        std::min<uint64_t>(opt.NumberOfRvaAndSizes, pe::kNumberOfDirectoryEntries);
    if (kOptionalFixedPart + directories * sizeof(pe::DataDirectory) > header.SizeOfOptionalHeader)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      std::to_string(opt.NumberOfRvaAndSizes) +
                          " data directories do not fit the optional header");
    std::memcpy(layout->optional.Directory, file.data() + optional + kOptionalFixedPart,
                directories * sizeof(pe::DataDirectory));
    layout->optional.NumberOfRvaAndSizes = (uint32_t)directories;
    *section_table = optional + header.SizeOfOptionalHeader;
    return true;
}

bool CheckKind(const Layout& layout, Refusal* refusal) {
    const uint16_t characteristics = layout.file.Characteristics;
    if ((characteristics & pe::kFileExecutableImage) == 0)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "not an executable image (an object file?)");
    if ((characteristics & pe::kFileDll) != 0)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT, "a DLL, not a driver");
    if ((characteristics & pe::kFileRelocsStripped) != 0)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "its relocations were stripped, so it cannot be mapped where the stand-in "
                      "maps it");
    const pe::OptionalHeader64& opt = layout.optional;
    if (opt.Subsystem != pe::kSubsystemNative)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "subsystem " + std::to_string(opt.Subsystem) +
                          " is not the native subsystem (1) of a driver");
    if (!IsPowerOfTwo(opt.SectionAlignment) || opt.SectionAlignment % kPageSize != 0)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "section alignment " + Hex(opt.SectionAlignment) +
                          " is not a multiple of the page, so sections cannot have protections "
                          "of their own");
    if (opt.SizeOfImage == 0 || opt.SizeOfImage > kLargestImage)
        return Refuse(
            refusal, STATUS_INVALID_IMAGE_FORMAT,
            "image size " + Hex(opt.SizeOfImage) + " is 0 or larger than " + Hex(kLargestImage));
    if (opt.SizeOfHeaders > opt.SizeOfImage)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "headers of " + Hex(opt.SizeOfHeaders) + " bytes exceed the image size");
    return true;
}

bool ReadSections(std::span<const uint8_t> file, uint64_t table, Layout* layout, Refusal* refusal) {
    const uint16_t count = layout->file.NumberOfSections;
    if (count == 0 || count > kMostSections)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      std::to_string(count) + " sections (an image has 1 to " +
                          std::to_string(kMostSections) + ")");
    const uint64_t table_end = table + (uint64_t)count * sizeof(pe::SectionHeader);
    if (layout->optional.SizeOfHeaders > file.size())
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "truncated: headers of " + Hex(layout->optional.SizeOfHeaders) +
                          " bytes run past the end of the file");
    if (table_end > file.size() || table_end > layout->optional.SizeOfHeaders)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "truncated: the section table ends at " + Hex(table_end) +
                          ", past the headers or the file");
    layout->sections.resize(count);
    std::memcpy(layout->sections.data(), file.data() + table, count * sizeof(pe::SectionHeader));
    const pe::OptionalHeader64& opt = layout->optional;
    for (const pe::SectionHeader& section : layout->sections) {
        const std::string name = "section " + SectionName(section);
        const uint64_t extent = SectionExtent(section);
        if (section.VirtualAddress % opt.SectionAlignment != 0 ||
            section.VirtualAddress < RoundUp(opt.SizeOfHeaders, opt.SectionAlignment) ||
            section.VirtualAddress + extent > opt.SizeOfImage)
            return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                          name + " at " + Hex(section.VirtualAddress) + " (" + Hex(extent) +
                              " bytes) lies outside the image or over its headers");
        if (section.SizeOfRawData != 0 &&
            (uint64_t)section.PointerToRawData + section.SizeOfRawData > file.size())
            return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                          "truncated: " + name + "'s data at " + Hex(section.PointerToRawData) +
                              " runs past the end of the file");
        const uint32_t writable_code = pe::kSectionMemWrite | pe::kSectionMemExecute;
        if ((section.Characteristics & writable_code) == writable_code)
            return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                          name + " is both writable and executable");
    }
    std::vector<pe::SectionHeader> sorted = layout->sections;
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.VirtualAddress < b.VirtualAddress; });
    for (size_t i = 1; i < sorted.size(); ++i) {
        const pe::SectionHeader& before = sorted[i - 1];
        if (RoundUp((uint64_t)before.VirtualAddress + SectionExtent(before), opt.SectionAlignment) >
            sorted[i].VirtualAddress)
            return Refuse(
                refusal, STATUS_INVALID_IMAGE_FORMAT,
                "sections " + SectionName(before) + " and " + SectionName(sorted[i]) + " overlap");
    }
    return true;
}

bool CheckEntryPoint(const Layout& layout, Refusal* refusal) {
    const uint32_t entry = layout.optional.AddressOfEntryPoint;
    for (const pe::SectionHeader& section : layout.sections) {
        if (entry >= section.VirtualAddress &&
            entry < (uint64_t)section.VirtualAddress + SectionExtent(section) &&
            (section.Characteristics & pe::kSectionMemExecute) != 0)
            return true;
    }
    return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                  "the entry point " + Hex(entry) + " is not in an executable section");
}

}  // namespace

uint32_t SectionExtent(const pe::SectionHeader& section) {
    return section.VirtualSize != 0 ? section.VirtualSize : section.SizeOfRawData;
}

std::string SectionName(const pe::SectionHeader& section) {
    return std::string(section.Name, strnlen(section.Name, sizeof(section.Name)));
}

bool ReadLayout(std::span<const uint8_t> file, Layout* layout, Refusal* refusal) {
    uint64_t section_table = 0;
    return ReadHeaders(file, layout, &section_table, refusal) && CheckKind(*layout, refusal) &&
           ReadSections(file, section_table, layout, refusal) && CheckEntryPoint(*layout, refusal);
}

}  // namespace platform::loader::internal
