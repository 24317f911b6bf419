// The image's own symbol table, when the linker left one (the system's loader ignores it): the
// names of the image's routines and data, for host code that reaches into a loaded driver's
// globals. A damaged or missing table only means no names.
#include <cstring>

#include "loader_internal.h"

namespace platform::loader::internal {
namespace {

constexpr size_t kSymbolSize = 18;

#pragma pack(push, 1)
struct Symbol {
    union {
        char short_name[8];
        struct {
            uint32_t zeroes;
            uint32_t offset;  // into the string table
        } long_name;
    };
    uint32_t value;
    int16_t section_number;  // 1-based; 0 and below name no section
    uint16_t type;
    uint8_t storage_class;
    uint8_t auxiliary_count;
};
#pragma pack(pop)
static_assert(sizeof(Symbol) == kSymbolSize);

}  // namespace

std::unordered_map<std::string, uint32_t> ReadSymbols(std::span<const uint8_t> file,
                                                      const Layout& layout) {
    std::unordered_map<std::string, uint32_t> symbols;
    const uint64_t table = layout.file.PointerToSymbolTable;
    const uint64_t count = layout.file.NumberOfSymbols;
    const uint64_t strings = table + count * kSymbolSize;
    if (table == 0 || strings + sizeof(uint32_t) > file.size())
        return symbols;
    uint32_t strings_size;
    std::memcpy(&strings_size, file.data() + strings, sizeof(strings_size));
    if (strings + strings_size > file.size())
        return symbols;
    for (uint64_t i = 0; i < count; ++i) {
        Symbol symbol;
        std::memcpy(&symbol, file.data() + table + i * kSymbolSize, sizeof(symbol));
        const uint64_t index = i;
        i += symbol.auxiliary_count;
        if (symbol.section_number <= 0 || (size_t)symbol.section_number > layout.sections.size() ||
            index >= count)
            continue;
        std::string name;
        if (symbol.long_name.zeroes != 0) {
            name.assign(symbol.short_name, strnlen(symbol.short_name, sizeof(symbol.short_name)));
        } else {
            if (symbol.long_name.offset >= strings_size)
                continue;
            const char* text =
                reinterpret_cast<const char*>(file.data() + strings) + symbol.long_name.offset;
            name.assign(text, strnlen(text, strings_size - symbol.long_name.offset));
        }
        symbols.emplace(std::move(name),
                        layout.sections[symbol.section_number - 1].VirtualAddress + symbol.value);
    }
    return symbols;
}

}  // namespace platform::loader::internal
