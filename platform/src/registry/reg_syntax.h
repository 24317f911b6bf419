// The lines of the registry export format: its header, quoted names, and a value's data as text.
#pragma once

#include <string>

#include "reg_key.h"

namespace platform::registry::internal {

inline constexpr char kExportHeader[] = "Windows Registry Editor Version 5.00";
inline constexpr char kExportHeaderVersion4[] = "REGEDIT4";

// Without the spaces and tabs around it.
std::string Trim(const std::string& text);

// The key path inside a key line's brackets, or an empty string with *why set.
std::string CheckPath(const std::string& path, std::string* why);

// `"name"=data` or `@=data` (the key's default value, whose name is empty): the name unquoted and
// the data trimmed. False with *why set.
bool SplitValueLine(const std::string& line, std::string* name, std::string* data,
                    std::string* why);
// A value's data: "text", dword:, hex: or hex(N):. False with *why set.
bool ParseValueData(const std::string& text, RegValue* value, std::string* why);

// The registry's name of a value type ("REG_DWORD"), or "type N" for one it has no name for.
std::string TypeName(ULONG type);

// The value's line as the export writes it, without its line end; a long hex list goes on over
// several lines.
std::string FormatValueLine(const std::string& name, const RegValue& value);

}  // namespace platform::registry::internal
