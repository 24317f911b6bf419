// The records of an x64 executable image file (PE32+), as the system's loader reads a driver image.
// Host side: the image loader and the tests that build images read and write these. Not for the
// driver.
#pragma once

#include <cstdint>

namespace platform::pe {

inline constexpr uint16_t kDosSignature = 0x5A4D;     // "MZ"
inline constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kOptionalMagicPe32Plus = 0x20B;
inline constexpr uint16_t kSubsystemNative = 1;
inline constexpr uint32_t kDirectoryEntryImport = 1;
inline constexpr uint32_t kDirectoryEntryBaseReloc = 5;
inline constexpr uint32_t kNumberOfDirectoryEntries = 16;

// File characteristics.
inline constexpr uint16_t kFileRelocsStripped = 0x0001;
inline constexpr uint16_t kFileExecutableImage = 0x0002;
inline constexpr uint16_t kFileDll = 0x2000;

// Section characteristics.
inline constexpr uint32_t kSectionCode = 0x00000020;
inline constexpr uint32_t kSectionInitializedData = 0x00000040;
inline constexpr uint32_t kSectionUninitializedData = 0x00000080;
inline constexpr uint32_t kSectionMemDiscardable = 0x02000000;
inline constexpr uint32_t kSectionMemExecute = 0x20000000;
inline constexpr uint32_t kSectionMemRead = 0x40000000;
inline constexpr uint32_t kSectionMemWrite = 0x80000000;

// Base relocation types (the top four bits of each entry).
inline constexpr uint16_t kRelocAbsolute = 0;
inline constexpr uint16_t kRelocDir64 = 10;

// An import lookup entry with this bit names its symbol by ordinal.
inline constexpr uint64_t kImportByOrdinal = 1ULL << 63;

#pragma pack(push, 4)

struct DosHeader {
    uint16_t e_magic;
    uint16_t e_cblp, e_cp, e_crlc, e_cparhdr, e_minalloc, e_maxalloc, e_ss, e_sp, e_csum, e_ip,
        e_cs, e_lfarlc, e_ovno;
    uint16_t e_res[4];
    uint16_t e_oemid, e_oeminfo;
    uint16_t e_res2[10];
    uint32_t e_lfanew;
};
static_assert(sizeof(DosHeader) == 64);

struct FileHeader {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};
static_assert(sizeof(FileHeader) == 20);

struct DataDirectory {
    uint32_t VirtualAddress;
    uint32_t Size;
};

struct OptionalHeader64 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion, MinorLinkerVersion;
    uint32_t SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint;
    uint32_t BaseOfCode;
    uint64_t ImageBase;
    uint32_t SectionAlignment, FileAlignment;
    uint16_t MajorOperatingSystemVersion, MinorOperatingSystemVersion;
    uint16_t MajorImageVersion, MinorImageVersion;
    uint16_t MajorSubsystemVersion, MinorSubsystemVersion;
    uint32_t Win32VersionValue;
    uint32_t SizeOfImage, SizeOfHeaders;
    uint32_t CheckSum;
    uint16_t Subsystem, DllCharacteristics;
    uint64_t SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
    uint32_t LoaderFlags;
    uint32_t NumberOfRvaAndSizes;
    DataDirectory Directory[kNumberOfDirectoryEntries];
};
static_assert(sizeof(OptionalHeader64) == 240);

struct NtHeaders64 {
    uint32_t Signature;
    FileHeader File;
    OptionalHeader64 Optional;
};
static_assert(sizeof(NtHeaders64) == 264);

struct SectionHeader {
    char Name[8];
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t PointerToRawData;
    uint32_t PointerToRelocations, PointerToLinenumbers;
    uint16_t NumberOfRelocations, NumberOfLinenumbers;
    uint32_t Characteristics;
};
static_assert(sizeof(SectionHeader) == 40);

struct ImportDescriptor {
    uint32_t OriginalFirstThunk;  // the lookup table; 0 when only the address table names symbols
    uint32_t TimeDateStamp;
    uint32_t ForwarderChain;
    uint32_t Name;
    uint32_t FirstThunk;  // the address table the loader fills
};
static_assert(sizeof(ImportDescriptor) == 20);

struct BaseRelocationBlock {
    uint32_t VirtualAddress;
    uint32_t SizeOfBlock;  // this header and its 16-bit entries
};
static_assert(sizeof(BaseRelocationBlock) == 8);

#pragma pack(pop)

}  // namespace platform::pe
