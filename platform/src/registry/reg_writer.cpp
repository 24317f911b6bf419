#include "reg_writer.h"

#include <algorithm>

#include "reg_syntax.h"

namespace platform::registry::internal {

std::string FormatRegFile(const std::vector<RegKey>& unsorted) {
    // By path, part by part, so that every key comes right before the keys below it.
    std::vector<std::pair<std::string, const RegKey*>> keys;
    for (const RegKey& key : unsorted) {
        std::string order = FoldCase(key.path);
        std::replace(order.begin(), order.end(), '\\', '\x01');
        keys.emplace_back(std::move(order), &key);
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out = std::string(kExportHeader) + "\r\n";
    for (const auto& [order, key] : keys) {
        if (key->is_volatile)
            continue;
        out += "\r\n[" + key->path + "]\r\n";
        for (const auto& [name, value] : key->values)
            out += FormatValueLine(name, value) + "\r\n";
    }
    return out + "\r\n";
}

}  // namespace platform::registry::internal
