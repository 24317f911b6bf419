// Text as the registry stand-in holds it: UTF-8 strings, from and to the platform's UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/utf16.h"

namespace platform::registry::internal {

// UTF-16LE bytes as UTF-8, appended to *out; false when the byte count is odd.
bool Utf16LeToUtf8(const std::string& bytes, size_t from, std::string* out);

// REG_SZ data from text, and back (false when the data are not a NUL-terminated UTF-16LE string).
std::vector<uint8_t> StringData(const std::string& utf8);
bool DataString(const std::vector<uint8_t>& data, std::string* utf8);

}  // namespace platform::registry::internal
