// Base relocations: every 64-bit address the linker wrote for the preferred base moves with the
// image. The relocation blocks and every address they name must lie in the image.
#include <cstring>

#include "loader_internal.h"

namespace platform::loader::internal {

bool ApplyRelocations(const ImageMemory& image, const Layout& layout, Refusal* refusal) {
    const pe::DataDirectory directory = layout.optional.Directory[pe::kDirectoryEntryBaseReloc];
    const uint64_t delta = (uint64_t)(uintptr_t)image.base() - layout.optional.ImageBase;
    if (directory.Size == 0)
        return true;
    const uint8_t* blocks = image.At(directory.VirtualAddress, directory.Size);
    if (blocks == nullptr)
        return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                      "the relocation directory at " + Hex(directory.VirtualAddress) + " (" +
                          Hex(directory.Size) + " bytes) lies outside the image");
    uint32_t offset = 0;
    while (offset < directory.Size) {
        pe::BaseRelocationBlock block;
        if (directory.Size - offset < sizeof(block))
            return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                          "a relocation block header at " + Hex(directory.VirtualAddress + offset) +
                              " runs past the relocation directory");
        std::memcpy(&block, blocks + offset, sizeof(block));
        if (block.SizeOfBlock < sizeof(block) || block.SizeOfBlock % 2 != 0 ||
            block.SizeOfBlock > directory.Size - offset)
            return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                          "a relocation block at " + Hex(directory.VirtualAddress + offset) +
                              " has a size of " + Hex(block.SizeOfBlock) +
                              ", which does not fit its directory");
        for (uint32_t at = sizeof(block); at < block.SizeOfBlock; at += 2) {
            uint16_t entry;
            std::memcpy(&entry, blocks + offset + at, sizeof(entry));
            const uint16_t type = entry >> 12;
            const uint64_t target = (uint64_t)block.VirtualAddress + (entry & 0xFFF);
            if (type == pe::kRelocAbsolute)
                continue;
            if (type != pe::kRelocDir64)
                return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                              "relocation type " + std::to_string(type) + " at " + Hex(target) +
                                  " is not one an x64 image uses");
            uint8_t* address = image.At(target, sizeof(uint64_t));
            if (address == nullptr)
                return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                              "a relocation at " + Hex(target) + " lies outside the image");
            uint64_t value;
            std::memcpy(&value, address, sizeof(value));
            value += delta;
            std::memcpy(address, &value, sizeof(value));
        }
        offset += block.SizeOfBlock;
    }
    return true;
}

}  // namespace platform::loader::internal
