#include "tests/platform/loader/tiny_image.h"

namespace camtest {

namespace pe = platform::pe;

namespace {

struct SectionPlan {
    const char* name;
    uint32_t rva;
    uint32_t file;
    uint32_t characteristics;
};

const SectionPlan kSections[] = {
    {".text", TinyImage::kTextRva, TinyImage::kTextFile,
     pe::kSectionCode | pe::kSectionMemExecute | pe::kSectionMemRead},
    {".data", TinyImage::kDataRva, TinyImage::kDataFile,
     pe::kSectionInitializedData | pe::kSectionMemRead | pe::kSectionMemWrite},
    {".idata", TinyImage::kIdataRva, TinyImage::kIdataFile,
     pe::kSectionInitializedData | pe::kSectionMemRead | pe::kSectionMemWrite},
    {".reloc", TinyImage::kRelocRva, TinyImage::kRelocFile,
     pe::kSectionInitializedData | pe::kSectionMemRead | pe::kSectionMemDiscardable},
};

}  // namespace

uint32_t TinyImage::FileOffsetOf(uint32_t rva) {
    for (const SectionPlan& plan : kSections) {
        if (rva >= plan.rva && rva < plan.rva + 0x200)
            return plan.file + (rva - plan.rva);
    }
    return rva;  // the headers lie at the same offset in memory and file
}

TinyImage::TinyImage() : bytes(kFileSize, 0) {
    pe::DosHeader dos{};
    dos.e_magic = pe::kDosSignature;
    dos.e_lfanew = kNtHeaders;
    Put(0, dos);

    pe::NtHeaders64 nt{};
    nt.Signature = pe::kNtSignature;
    nt.File.Machine = pe::kMachineAmd64;
    nt.File.NumberOfSections = 4;
    nt.File.SizeOfOptionalHeader = sizeof(pe::OptionalHeader64);
    nt.File.Characteristics = pe::kFileExecutableImage;
    nt.Optional.Magic = pe::kOptionalMagicPe32Plus;
    nt.Optional.AddressOfEntryPoint = kTextRva;
    nt.Optional.ImageBase = kImageBase;
    nt.Optional.SectionAlignment = 0x1000;
    nt.Optional.FileAlignment = 0x200;
    nt.Optional.SizeOfImage = kSizeOfImage;
    nt.Optional.SizeOfHeaders = 0x200;
    nt.Optional.Subsystem = pe::kSubsystemNative;
    nt.Optional.NumberOfRvaAndSizes = pe::kNumberOfDirectoryEntries;
    nt.Optional.Directory[pe::kDirectoryEntryImport] = {kDescriptorRva,
                                                        2 * sizeof(pe::ImportDescriptor)};
    nt.Optional.Directory[pe::kDirectoryEntryBaseReloc] = {kRelocRva, 12};
    Put(kNtHeaders, nt);

    for (uint32_t i = 0; i < 4; ++i) {
        pe::SectionHeader section{};
        std::memcpy(section.Name, kSections[i].name, std::strlen(kSections[i].name));
        section.VirtualSize = 0x200;
        section.VirtualAddress = kSections[i].rva;
        section.SizeOfRawData = 0x200;
        section.PointerToRawData = kSections[i].file;
        section.Characteristics = kSections[i].characteristics;
        Put(SectionHeaderAt(i), section);
    }

    // jmp qword ptr [rip + disp32], to the address table's first slot: Probe.
    const uint8_t jump[] = {0x48, 0xFF, 0x25};
    std::memcpy(bytes.data() + kTextFile, jump, sizeof(jump));
    Put(kTextFile + 3, (int32_t)(kAddressRva - (kTextRva + 7)));

    // A pointer to the entry point, which the relocation moves with the image.
    Put(kDataFile, kImageBase + kTextRva);

    pe::ImportDescriptor descriptor{};
    descriptor.OriginalFirstThunk = kLookupRva;
    descriptor.Name = kModuleRva;
    descriptor.FirstThunk = kAddressRva;
    Put(FileOffsetOf(kDescriptorRva), descriptor);
    for (uint32_t table : {kLookupRva, kAddressRva}) {
        Put(FileOffsetOf(table), (uint64_t)kProbeNameRva);
        Put(FileOffsetOf(table + 8), (uint64_t)kDatumNameRva);
    }
    PutString(FileOffsetOf(kModuleRva), kModule);
    PutString(FileOffsetOf(kProbeNameRva) + 2, "Probe");
    PutString(FileOffsetOf(kDatumNameRva) + 2, "ProbeDatum");

    pe::BaseRelocationBlock block{kDataRva, 12};
    Put(kRelocFile, block);
    Put(kRelocFile + 8, (uint16_t)(pe::kRelocDir64 << 12));
}

}  // namespace camtest
