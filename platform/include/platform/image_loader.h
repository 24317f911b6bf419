// Host side of the stand-in's image loader: maps a cross-built driver image (PE32+, x64, native
// subsystem) into the process as the system's loader would, and binds its imports by module and
// name to the routines and data the stand-in offers. Not for the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>

#include "platform/io.h"

namespace platform::loader {

// A routine or datum a module offers an image, under the name the image imports it by.
struct Export {
    const char* name;
    const void* address;
};
// A system module, named as images import from it (compared without case).
struct Module {
    const char* name;
    std::span<const Export> exports;
};

// What the stand-in offers a driver image: ntoskrnl.exe, HAL.dll, ks.sys and USBD.SYS.
std::span<const Module> SystemModules();

// A mapped image: its sections with their own protections (never both writable and executable),
// relocated to where it lies and with every import bound. Unmapped when destroyed.
class LoadedImage {
  public:
    LoadedImage(uint8_t* base, size_t size, uint32_t entry_point,
                std::unordered_map<std::string, uint32_t> symbols);
    ~LoadedImage();
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    PDRIVER_INITIALIZE EntryPoint() const;
    const uint8_t* Base() const { return base_; }
    size_t Size() const { return size_; }
    // Where a routine or datum of the image lies, by the name in the image's own symbol table;
    // null when the image has no such name (or no symbol table).
    void* Symbol(const std::string& name) const;

  private:
    uint8_t* base_;
    size_t size_;
    uint32_t entry_point_;
    std::unordered_map<std::string, uint32_t> symbols_;
};

// An image, or why it was refused: the status the system would give and a message that names the
// offending field, section, module or symbol.
struct LoadResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::string message;
    std::unique_ptr<LoadedImage> image;
};

LoadResult LoadImage(std::span<const uint8_t> file, std::span<const Module> modules);
LoadResult LoadImageFile(const std::string& path,
                         std::span<const Module> modules = SystemModules());

// Loads the driver image at `path` against the system modules and runs its entry as the driver
// (platform::ks::LoadDriver), which keeps it mapped until the driver is unloaded. Returns the
// loader's or the entry's status; on a failure *message says why.
NTSTATUS LoadDriverImage(const std::string& path, std::string* message);
// The image loaded as the driver, while it is; null when none is (or the built-in driver is).
std::shared_ptr<const LoadedImage> LoadedDriverImage();

}  // namespace platform::loader
