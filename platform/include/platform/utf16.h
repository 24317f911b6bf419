// Host side: the platform's 16-bit text (WCHAR units) as UTF-8. Not for the driver.
#pragma once

#include <string>
#include <string_view>

#include "platform/ntdef.h"

namespace platform {

// A surrogate without its partner is kept as it is, so that nothing of the text is lost.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace platform
