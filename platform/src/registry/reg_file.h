// The registry export format ("Windows Registry Editor Version 5.00", and "REGEDIT4" on reading):
// keys in brackets, each followed by its values as "name"=data lines.
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

// Parses a file's bytes (UTF-16LE with its byte-order mark, or UTF-8 / ASCII; CRLF or LF line
// ends). A key listed twice merges; "[-key]" and "name"=- delete what came before. On refusal
// *error is "FILE:LINE: reason" and *keys is unchanged.
bool ParseRegFile(const std::string& bytes, const std::string& file_name, std::vector<RegKey>* keys,
                  std::string* error);

// The keys as a version 5.00 export: UTF-8, CRLF line ends, keys sorted by path, volatile keys left
// out.
std::string FormatRegFile(const std::vector<RegKey>& keys);

// Code points (as a WCHAR string of the stand-in holds them) as UTF-8.
std::string CodePointsToUtf8(const WCHAR* text, size_t count);

// REG_SZ data from text, and back (false when the data are not a NUL-terminated UTF-16LE string).
std::vector<uint8_t> StringData(const std::string& utf8);
bool DataString(const std::vector<uint8_t>& data, std::string* utf8);

}  // namespace platform::registry::internal
