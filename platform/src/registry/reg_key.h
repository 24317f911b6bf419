// The registry's keys and values as the store holds them, and how the registry compares names.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/ntdef.h"

namespace platform::registry::internal {

struct RegValue {
    ULONG type = 0;
    std::vector<uint8_t> data;  // as the platform stores it: REG_SZ is UTF-16LE with its NUL
    bool operator==(const RegValue&) const = default;
};

struct RegKey {
    std::string path;  // "HKEY_LOCAL_MACHINE\\SYSTEM\\..."; compared without regard to case
    std::vector<std::pair<std::string, RegValue>> values;  // in the order they were set
    bool is_volatile = false;                              // kept in memory only, never written
    bool operator==(const RegKey&) const = default;
};

// ASCII letters compare without regard to case, as the registry compares names.
bool SameName(const std::string& a, const std::string& b);
std::string FoldCase(const std::string& name);

RegKey* FindKey(std::vector<RegKey>& keys, const std::string& path);
// Whether `path` names a key somewhere below `key`; the second also takes `key` itself.
bool IsBelow(const std::string& path, const std::string& key);
bool IsAtOrBelow(const std::string& path, const std::string& key);

}  // namespace platform::registry::internal
