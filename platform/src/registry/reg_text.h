// Text as the registry stand-in holds it: UTF-8 strings, from and to the platform's UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ntdef.h"

namespace platform::registry::internal {

// Code points (as a WCHAR string of the stand-in holds them) as UTF-8.
std::string CodePointsToUtf8(const WCHAR* text, size_t count);

// UTF-16LE bytes as UTF-8; false when the byte count is odd. A surrogate without its partner is
// kept as it is, so that nothing of the text is lost.
bool Utf16LeToUtf8(const std::string& bytes, size_t from, std::string* out);

// REG_SZ data from text, and back (false when the data are not a NUL-terminated UTF-16LE string).
std::vector<uint8_t> StringData(const std::string& utf8);
bool DataString(const std::vector<uint8_t>& data, std::string* utf8);

}  // namespace platform::registry::internal
