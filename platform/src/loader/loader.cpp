// Loading an image: check its headers, map it, copy headers and sections, relocate, bind the
// imports, then give each section its protection. A refused image leaves nothing mapped.
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "loader_internal.h"

namespace platform::loader {

LoadedImage::LoadedImage(uint8_t* base, size_t size, uint32_t entry_point,
                         std::unordered_map<std::string, uint32_t> symbols)
    : base_(base), size_(size), entry_point_(entry_point), symbols_(std::move(symbols)) {}

LoadedImage::~LoadedImage() {
    munmap(base_, size_);
}

PDRIVER_INITIALIZE LoadedImage::EntryPoint() const {
    return reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entry_point_);
}

void* LoadedImage::Symbol(const std::string& name) const {
    const auto found = symbols_.find(name);
    return found == symbols_.end() || found->second >= size_ ? nullptr : base_ + found->second;
}

LoadResult LoadImage(std::span<const uint8_t> file, std::span<const Module> modules) {
    using namespace internal;
    LoadResult result;
    Refusal refusal;
    Layout layout;
    if (!ReadLayout(file, &layout, &refusal)) {
        result.status = refusal.status;
        result.message = refusal.message;
        return result;
    }
    const size_t size = (layout.optional.SizeOfImage + 4095) / 4096 * 4096;
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        result.message = std::string("the image could not be mapped: ") + std::strerror(errno);
        return result;
    }
    auto image = std::make_unique<LoadedImage>(static_cast<uint8_t*>(mapping), size,
                                               layout.optional.AddressOfEntryPoint,
                                               ReadSymbols(file, layout));
    const ImageMemory memory(static_cast<uint8_t*>(mapping), size);
    std::memcpy(memory.base(), file.data(), layout.optional.SizeOfHeaders);
    for (const pe::SectionHeader& section : layout.sections) {
        const uint32_t length = std::min(section.SizeOfRawData, SectionExtent(section));
        if (length != 0)
            std::memcpy(memory.base() + section.VirtualAddress,
                        file.data() + section.PointerToRawData, length);
    }
    if (!ApplyRelocations(memory, layout, &refusal) ||
        !BindImports(memory, layout, modules, &refusal) ||
        !ProtectSections(memory, layout, &refusal)) {
        result.status = refusal.status;
        result.message = refusal.message;
        return result;
    }
    result.status = STATUS_SUCCESS;
    result.image = std::move(image);
    return result;
}

LoadResult LoadImageFile(const std::string& path, std::span<const Module> modules) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        LoadResult result;
        result.status = STATUS_OBJECT_NAME_NOT_FOUND;
        result.message = path + ": cannot be read: " + std::strerror(errno);
        return result;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    LoadResult result = LoadImage(bytes, modules);
    if (!NT_SUCCESS(result.status))
        result.message = path + ": " + result.message;
    return result;
}

}  // namespace platform::loader
