// A tiny driver image the loader tests assemble byte by byte, and patch to break it: four
// sections, an entry point that jumps through its import of Probe (so the call crosses the
// system's convention), a data import, and a pointer in .data that a base relocation moves.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/pe_image.h"

namespace camtest {

class TinyImage {
  public:
    // Where things are, as file offsets (the patch targets) and relative addresses.
    static constexpr uint64_t kImageBase = 0x140000000;
    static constexpr uint32_t kNtHeaders = 0x40;
    static constexpr uint32_t kSectionTable = kNtHeaders + sizeof(platform::pe::NtHeaders64);
    static constexpr uint32_t kText = 0, kData = 1, kIdata = 2, kReloc = 3;  // section indices
    static constexpr uint32_t kTextRva = 0x1000, kDataRva = 0x2000, kIdataRva = 0x3000,
                              kRelocRva = 0x4000, kSizeOfImage = 0x5000;
    static constexpr uint32_t kTextFile = 0x200, kDataFile = 0x400, kIdataFile = 0x600,
                              kRelocFile = 0x800, kFileSize = 0xA00;
    // In .idata: the descriptor, the lookup and address tables, the module name and the two
    // symbol names.
    static constexpr uint32_t kDescriptorRva = kIdataRva, kLookupRva = kIdataRva + 0x40,
                              kAddressRva = kIdataRva + 0x60, kModuleRva = kIdataRva + 0x80,
                              kProbeNameRva = kIdataRva + 0xA0, kDatumNameRva = kIdataRva + 0xB0;
    static constexpr const char* kModule = "test.sys";

    TinyImage();

    std::vector<uint8_t> bytes;

    static uint32_t FileOffsetOf(uint32_t rva);
    static uint32_t SectionHeaderAt(uint32_t index) {
        return kSectionTable + index * sizeof(platform::pe::SectionHeader);
    }
    template <typename T>
    void Put(uint32_t offset, T value) {
        std::memcpy(bytes.data() + offset, &value, sizeof(value));
    }
    void PutString(uint32_t offset, const char* text) {
        std::memcpy(bytes.data() + offset, text, std::strlen(text) + 1);
    }
    platform::pe::NtHeaders64& Nt() {
        return *reinterpret_cast<platform::pe::NtHeaders64*>(bytes.data() + kNtHeaders);
    }
    platform::pe::SectionHeader& Section(uint32_t index) {
        return *reinterpret_cast<platform::pe::SectionHeader*>(bytes.data() +
                                                               SectionHeaderAt(index));
    }
};

}  // namespace camtest
