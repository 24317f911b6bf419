// The image's memory: checked access by relative address, and the protections of its pages.
#include <sys/mman.h>

#include <cstdio>
#include <cstring>

#include "loader_internal.h"

namespace platform::loader::internal {
namespace {

constexpr uint64_t kPageSize = 4096;

int ProtectionOf(uint32_t characteristics) {
    int protection = PROT_NONE;
    if ((characteristics & pe::kSectionMemRead) != 0)
        protection |= PROT_READ;
    if ((characteristics & pe::kSectionMemWrite) != 0)
        protection |= PROT_READ | PROT_WRITE;
    if ((characteristics & pe::kSectionMemExecute) != 0)
        protection |= PROT_READ | PROT_EXEC;
    return protection;
}

bool Protect(const ImageMemory& image, uint64_t from, uint64_t length, int protection,
             const std::string& what, Refusal* refusal) {
    length = (length + kPageSize - 1) / kPageSize * kPageSize;
    if (length == 0)
        return true;
    if (mprotect(image.base() + from, length, protection) != 0)
        return Refuse(refusal, STATUS_INSUFFICIENT_RESOURCES,
                      "the protection of " + what + " could not be set: " + std::strerror(errno));
    return true;
}

}  // namespace

bool Refuse(Refusal* refusal, NTSTATUS status, std::string message) {
    if (refusal->status == STATUS_SUCCESS) {
        refusal->status = status;
        refusal->message = std::move(message);
    }
    return false;
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", (unsigned long long)value);
    return text;
}

uint8_t* ImageMemory::At(uint64_t rva, uint64_t length) const {
    if (rva > size_ || length > size_ - rva)
        return nullptr;
    return base_ + rva;
}

bool ImageMemory::String(uint64_t rva, std::string* text) const {
    if (rva >= size_)
        return false;
    const void* end = std::memchr(base_ + rva, 0, size_ - rva);
    if (end == nullptr)
        return false;
    text->assign(reinterpret_cast<const char*>(base_ + rva),
                 static_cast<const uint8_t*>(end) - (base_ + rva));
    return true;
}

bool ProtectSections(const ImageMemory& image, const Layout& layout, Refusal* refusal) {
    if (!Protect(image, 0, image.size(), PROT_NONE, "the image", refusal) ||
        !Protect(image, 0, layout.optional.SizeOfHeaders, PROT_READ, "the headers", refusal))
        return false;
    for (const pe::SectionHeader& section : layout.sections) {
        if (!Protect(image, section.VirtualAddress, SectionExtent(section),
                     ProtectionOf(section.Characteristics), "section " + SectionName(section),
                     refusal))
            return false;
    }
    return true;
}

}  // namespace platform::loader::internal
