// A driver image as the loaded driver: the class-driver stand-in keeps the mapping while the
// driver is loaded.
#include "platform/image_loader.h"
#include "platform/ks_host.h"

namespace platform::loader {
namespace {

std::weak_ptr<const LoadedImage> g_driver_image;

}  // namespace

NTSTATUS LoadDriverImage(const std::string& path, std::string* message) {
    LoadResult result = LoadImageFile(path);
    if (!NT_SUCCESS(result.status)) {
        *message = result.message;
        return result.status;
    }
    const PDRIVER_INITIALIZE entry = result.image->EntryPoint();
    std::shared_ptr<const LoadedImage> image = std::move(result.image);
    g_driver_image = image;
    const NTSTATUS status = ks::LoadDriver(entry, std::move(image));
    if (!NT_SUCCESS(status))
        *message = path + ": the driver's entry failed";
    return status;
}

std::shared_ptr<const LoadedImage> LoadedDriverImage() {
    return g_driver_image.lock();
}

}  // namespace platform::loader
