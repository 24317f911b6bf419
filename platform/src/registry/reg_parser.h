// Reading the registry export format ("Windows Registry Editor Version 5.00", and "REGEDIT4"):
// keys in brackets, each followed by its values as "name"=data lines.
#pragma once

#include <string>
#include <vector>

#include "reg_key.h"

namespace platform::registry::internal {

// Parses a file's bytes (UTF-16LE with its byte-order mark, or UTF-8 / ASCII; CRLF or LF line
// ends) in one pass. A key listed twice merges; "[-key]" and "name"=- delete what came before. On
// refusal *error is "FILE:LINE: reason" and *keys is unchanged.
bool ParseRegFile(const std::string& bytes, const std::string& file_name, std::vector<RegKey>* keys,
                  std::string* error);

}  // namespace platform::registry::internal
