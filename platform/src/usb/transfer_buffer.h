// The data buffer of a transfer URB as the bus reaches it.
#pragma once

#include <cstdint>

#include "platform/usb.h"

namespace platform::usb {

// The MDL's system address when there is an MDL, else the buffer pointer. False when neither
// describes `length` bytes.
bool TransferBuffer(PMDL mdl, PVOID buffer, ULONG length, uint8_t** address);

}  // namespace platform::usb
