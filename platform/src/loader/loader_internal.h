// The steps of loading an image, shared by the files of the loader: reading and checking the
// headers, the image's memory addressed by relative address, relocation, import binding and the
// sections' protections. Each step refuses with the first fault it finds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/image_loader.h"
#include "platform/pe_image.h"

namespace platform::loader::internal {

struct Refusal {
    NTSTATUS status = STATUS_SUCCESS;
    std::string message;
};
// Records why the image is refused; returns false, for `return Refuse(...)`.
bool Refuse(Refusal* refusal, NTSTATUS status, std::string message);
// "0x1a2b", for messages.
std::string Hex(uint64_t value);

// What the headers say, checked against the file and one another.
struct Layout {
    pe::FileHeader file{};
    pe::OptionalHeader64 optional{};  // directories past NumberOfRvaAndSizes read as empty
    std::vector<pe::SectionHeader> sections;
};
bool ReadLayout(std::span<const uint8_t> file, Layout* layout, Refusal* refusal);
// The bytes a section occupies in memory (its virtual size, or its raw size when that is 0).
uint32_t SectionExtent(const pe::SectionHeader& section);
std::string SectionName(const pe::SectionHeader& section);

// The image's memory while it is prepared, addressed by relative address, every access checked.
class ImageMemory {
  public:
    ImageMemory(uint8_t* base, size_t size) : base_(base), size_(size) {}
    // The `length` bytes at `rva`, or null when any of them lies outside the image.
    uint8_t* At(uint64_t rva, uint64_t length) const;
    // The NUL-terminated string at `rva`; false when it runs out of the image first.
    bool String(uint64_t rva, std::string* text) const;
    uint8_t* base() const { return base_; }
    size_t size() const { return size_; }

  private:
    uint8_t* base_;
    size_t size_;
};

// The names in the image's own symbol table, by relative address.
std::unordered_map<std::string, uint32_t> ReadSymbols(std::span<const uint8_t> file,
                                                      const Layout& layout);

bool ApplyRelocations(const ImageMemory& image, const Layout& layout, Refusal* refusal);
bool BindImports(const ImageMemory& image, const Layout& layout, std::span<const Module> modules,
                 Refusal* refusal);
// Headers read-only, each section as its characteristics say, the rest inaccessible.
bool ProtectSections(const ImageMemory& image, const Layout& layout, Refusal* refusal);

}  // namespace platform::loader::internal
