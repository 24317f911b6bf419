// Import binding: each import descriptor names a module, each of its lookup entries a symbol by
// name; the loader writes the stand-in's address for it into the address table. Anything the
// stand-in does not offer refuses the image, naming module and symbol.
#include <strings.h>

#include <cstring>

#include "loader_internal.h"

namespace platform::loader::internal {
namespace {

const Module* FindModule(std::span<const Module> modules, const std::string& name) {
    for (const Module& module : modules) {
        if (strcasecmp(module.name, name.c_str()) == 0)
            return &module;
    }
    return nullptr;
}

const Export* FindExport(const Module& module, const std::string& name) {
    for (const Export& entry : module.exports) {
        if (name == entry.name)
            return &entry;
    }
    return nullptr;
}

bool BindModule(const ImageMemory& image, const pe::ImportDescriptor& descriptor,
                const Module& module, Refusal* refusal) {
    const uint32_t lookup =
        descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
    for (uint64_t index = 0;; ++index) {
        const uint8_t* entry_bytes = image.At(lookup + index * 8, 8);
        uint8_t* slot = image.At(descriptor.FirstThunk + index * 8, 8);
        if (entry_bytes == nullptr || slot == nullptr)
            return Refuse(
                refusal, STATUS_INVALID_IMAGE_FORMAT,
                std::string("the import table of ") + module.name + " runs out of the image");
        uint64_t entry;
        std::memcpy(&entry, entry_bytes, sizeof(entry));
        if (entry == 0)
            return true;
        if ((entry & pe::kImportByOrdinal) != 0)
            return Refuse(refusal, STATUS_ORDINAL_NOT_FOUND,
                          "imports ordinal " + std::to_string(entry & 0xFFFF) + " from " +
                              module.name + "; the stand-in binds by name only");
        std::string name;
        if (image.At(entry & 0x7FFFFFFF, 2) == nullptr ||
            !image.String((entry & 0x7FFFFFFF) + 2, &name))
            return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                          std::string("the name of import ") + std::to_string(index) + " from " +
                              module.name + " lies outside the image");
        const Export* found = FindExport(module, name);
        if (found == nullptr)
            return Refuse(refusal, STATUS_PROCEDURE_NOT_FOUND,
                          "imports " + name + " from " + module.name +
                              ", which the stand-in does not provide");
        const uint64_t address = (uint64_t)(uintptr_t)found->address;
        std::memcpy(slot, &address, sizeof(address));
    }
}

}  // namespace

bool BindImports(const ImageMemory& image, const Layout& layout, std::span<const Module> modules,
                 Refusal* refusal) {
    const pe::DataDirectory directory = layout.optional.Directory[pe::kDirectoryEntryImport];
    if (directory.Size == 0)
        return true;
    for (uint64_t index = 0;; ++index) {
        const uint8_t* bytes =
            image.At(directory.VirtualAddress + index * sizeof(pe::ImportDescriptor),
                     sizeof(pe::ImportDescriptor));
        if (bytes == nullptr)
            return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                          "the import descriptors at " + Hex(directory.VirtualAddress) +
                              " run out of the image");
        pe::ImportDescriptor descriptor;
        std::memcpy(&descriptor, bytes, sizeof(descriptor));
        if (descriptor.Name == 0 && descriptor.FirstThunk == 0)
            return true;
        std::string module_name;
        if (!image.String(descriptor.Name, &module_name))
            return Refuse(refusal, STATUS_INVALID_IMAGE_FORMAT,
                          "the module name of import descriptor " + std::to_string(index) +
                              " lies outside the image");
        const Module* module = FindModule(modules, module_name);
        if (module == nullptr)
            return Refuse(refusal, STATUS_DLL_NOT_FOUND,
                          "imports from " + module_name + ", which the stand-in does not provide");
        if (!BindModule(image, descriptor, *module, refusal))
            return false;
    }
}

}  // namespace platform::loader::internal
