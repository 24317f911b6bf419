#include "tools/common/session.h"

#include <filesystem>

#include "platform/image_loader.h"
#include "platform/ks_host.h"
#include "platform/registry_host.h"
#include "platform/usb_bus.h"
#include "tools/common/arguments.h"
#include "tools/common/status_text.h"

// The driver's entry point, found by its plain name as the system's loader finds it.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path);

namespace camtools {

namespace {

// The scene has passed CheckScene.
bool ApplyScene(const std::string& scene, sim::SimCamera* camera, std::string* error) {
    if (scene == "chart")
        return true;
    if (scene.rfind("flat", 0) == 0) {
        int64_t level = 128;
        if (scene.size() > 5)
            ParseInteger(scene.substr(5), 0, 255, &level);
        camera->SetScene(sim::MakeFlatScene((uint8_t)level));
        return true;
    }
    std::string why;
    if (!camera->SetScene(sim::LoadPngScene(scene, sim::PngFit::kScale, &why))) {
        *error = "scene " + why;
        return false;
    }
    return true;
}

}  // namespace

std::string DefaultStoreFile() {
    return platform::registry::DefaultStoreFile("camctl", "settings.reg");
}

Session::Session(const SessionOptions& options) : camera_(std::make_unique<sim::SimCamera>()) {
    if (options.memory_store)
        platform::registry::SetStoreFile("");
    else if (!UseStore(options.registry))
        return;
    if (!ApplyScene(options.scene, camera_.get(), &error_))
        return;
    link_speed_ = options.link_speed;
    camera_->SetLinkSpeed(options.link_speed);
    port_ = platform::UsbBusPlugIn(camera_.get());
    if (!options.usb_trace.empty()) {
        if (!platform::UsbBusSetTrace(port_, options.usb_trace)) {
            error_ = "cannot write the USB trace " + options.usb_trace;
            return;
        }
        tracing_ = true;
        usb_trace_ = options.usb_trace;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (!options.driver_image.empty()) {
        std::string why;
        status = platform::loader::LoadDriverImage(options.driver_image, &why);
        if (!NT_SUCCESS(status)) {
            error_ = "the driver image is refused: " + why + " (" + StatusText(status) + ")";
            return;
        }
    } else {
        status = platform::ks::LoadDriver(DriverEntry);
        if (!NT_SUCCESS(status)) {
            error_ = "the driver failed to load: " + StatusText(status);
            return;
        }
    }
    driver_loaded_ = true;
    device_ = platform::ks::CreateDevice(port_, &status);
    if (device_ == nullptr) {
        error_ = "the device could not be added: " + StatusText(status);
        return;
    }
    status = platform::ks::StartDevice(device_);
    if (!NT_SUCCESS(status)) {
        error_ = "the device did not start: " + StatusText(status);
        Close();
    }
}

Session::~Session() {
    Close();
}

bool Session::UseStore(const std::string& registry) {
    store_file_ = registry.empty() ? DefaultStoreFile() : registry;
    if (store_file_.empty()) {
        error_ =
            "no place for the settings: set HOME or XDG_CONFIG_HOME, or name a file with "
            "--registry";
        return false;
    }
    std::string why;
    // A malformed file is refused before the device loads from it, and so is never rewritten.
    if (!platform::registry::CheckStoreFile(store_file_, &why)) {
        error_ = "the settings file is refused: " + why;
        return false;
    }
    if (registry.empty()) {
        if (!platform::registry::CreateStoreFile(store_file_, &why)) {
            error_ = "cannot create the settings file: " + why;
            return false;
        }
    } else {
        const std::filesystem::path folder = std::filesystem::path(store_file_).parent_path();
        std::error_code code;
        if (!folder.empty() && !std::filesystem::is_directory(folder, code)) {
            error_ = "the folder of the settings file " + store_file_ + " does not exist";
            return false;
        }
    }
    platform::registry::SetStoreFile(store_file_);
    return true;
}

std::string Session::Close() {
    std::string problem;
    if (device_ != nullptr) {
        platform::ks::StopDevice(device_);
        platform::ks::RemoveDevice(device_);
        device_ = nullptr;
        const std::string store_error = platform::registry::StoreError();
        if (!store_error.empty())
            problem = "the settings were not saved: " + store_error;
    }
    if (driver_loaded_) {
        platform::ks::UnloadDriver();
        driver_loaded_ = false;
    }
    if (port_ != nullptr) {
        if (tracing_ && !platform::UsbBusSetTrace(port_, "")) {
            problem += (problem.empty() ? "" : "; ") + std::string("the USB trace ") + usb_trace_ +
                       " could not be written whole";
        }
        tracing_ = false;
        platform::UsbBusUnplug(port_);
        port_ = nullptr;
    }
    return problem;
}

}  // namespace camtools
