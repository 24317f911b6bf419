#include "transfer_buffer.h"

namespace platform::usb {

bool TransferBuffer(PMDL mdl, PVOID buffer, ULONG length, uint8_t** address) {
    if (mdl != nullptr) {
        *address = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        return *address != nullptr && MmGetMdlByteCount(mdl) >= length;
    }
    *address = static_cast<uint8_t*>(buffer);
    return buffer != nullptr || length == 0;
}

}  // namespace platform::usb
