#include "tools/common/status_text.h"

#include <cstdio>

namespace camtools {

std::string StatusText(NTSTATUS status) {
    struct Name {
        NTSTATUS status;
        const char* name;
    };
    static const Name kNames[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_SHARING_VIOLATION, "STATUS_SHARING_VIOLATION"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_REGISTRY_CORRUPT, "STATUS_REGISTRY_CORRUPT"},
        {STATUS_REGISTRY_IO_FAILED, "STATUS_REGISTRY_IO_FAILED"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
        {STATUS_INVALID_BUFFER_SIZE, "STATUS_INVALID_BUFFER_SIZE"},
        {STATUS_PROPSET_NOT_FOUND, "STATUS_PROPSET_NOT_FOUND"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
    };
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", (unsigned)status);
    for (const Name& name : kNames) {
        if (name.status == status)
            return std::string(hex) + " (" + name.name + ")";
    }
    return hex;
}

}  // namespace camtools
