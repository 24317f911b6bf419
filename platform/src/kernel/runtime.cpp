// The compiler's memory primitives in the system's calling convention, for loaded images.
#include <cstring>

#include "exports.h"

namespace platform::kernel {

void* NTAPI CopyMemory(void* destination, const void* source, size_t length) {
    return std::memcpy(destination, source, length);
}

void* NTAPI MoveMemory(void* destination, const void* source, size_t length) {
    return std::memmove(destination, source, length);
}

void* NTAPI FillMemory(void* destination, int fill, size_t length) {
    return std::memset(destination, fill, length);
}

int NTAPI CompareMemory(const void* a, const void* b, size_t length) {
    return std::memcmp(a, b, length);
}

}  // namespace platform::kernel
