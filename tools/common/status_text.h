// Platform statuses as a person reads them.
#pragma once

#include <string>

#include "platform/ks_client.h"

namespace camtools {

// "0xC0000001 (STATUS_UNSUCCESSFUL)", or the hexadecimal value alone for a status without a name
// here.
std::string StatusText(NTSTATUS status);

}  // namespace camtools
