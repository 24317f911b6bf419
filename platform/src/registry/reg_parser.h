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
// How a file's text is stored: kept when the file is changed.
enum class TextEncoding { kPlain, kUtf8Mark, kUtf16 };

// The file's text after its byte-order mark, as UTF-8; false when UTF-16 text is cut short.
bool DecodeRegText(const std::string& bytes, std::string* text, TextEncoding* encoding);
std::string EncodeRegText(const std::string& text, TextEncoding encoding);

// Where a value was last set in the file, counted from 1.
struct ValueSource {
    std::string key_path;
    std::string name;
    size_t line;
};

bool ParseRegFile(const std::string& bytes, const std::string& file_name, std::vector<RegKey>* keys,
                  std::string* error, std::vector<ValueSource>* value_lines = nullptr);

}  // namespace platform::registry::internal
