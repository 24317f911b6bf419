// A driver image as the loaded driver: the class-driver stand-in keeps the mapping while the
// driver is loaded.
#include "platform/image_loader.h"
#include "platform/ks_host.h"

namespace platform::loader {

NTSTATUS LoadDriverImage(const std::string& path, std::string* message) {
    LoadResult result = LoadImageFile(path);
    if (!NT_SUCCESS(result.status)) {
        *message = result.message;
        return result.status;
    }
    const PDRIVER_INITIALIZE entry = result.image->EntryPoint();
    const NTSTATUS status = ks::LoadDriver(entry, std::move(result.image));
    if (!NT_SUCCESS(status))
        *message = path + ": the driver's entry failed";
    return status;
}

}  // namespace platform::loader
