// Writing the registry export format.
#pragma once

#include <string>
#include <vector>

#include "reg_key.h"

namespace platform::registry::internal {

// The keys as a version 5.00 export: UTF-8, CRLF line ends, keys sorted by path, volatile keys left
// out.
std::string FormatRegFile(const std::vector<RegKey>& keys);

}  // namespace platform::registry::internal
