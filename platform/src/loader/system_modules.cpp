// The modules the stand-in offers a driver image, assembled from each service family's list.
#include "../io/exports.h"
#include "../kernel/exports.h"
#include "../ks/exports.h"
#include "../registry/exports.h"
#include "../usb/exports.h"
#include "platform/image_loader.h"

namespace platform::loader {
namespace {

#define CAM_EXPORT(name) Export{#name, (const void*)&name},
#define CAM_EXPORT_AS(name, routine) Export{name, (const void*)&routine},

const Export kNtoskrnl[] = {PLATFORM_KERNEL_EXPORTS(CAM_EXPORT) PLATFORM_IO_EXPORTS(CAM_EXPORT)
                                PLATFORM_REGISTRY_EXPORTS(CAM_EXPORT)
                                    PLATFORM_KERNEL_RUNTIME_EXPORTS(CAM_EXPORT_AS)};
const Export kKs[] = {PLATFORM_KS_EXPORTS(CAM_EXPORT)};
const Export kUsbd[] = {PLATFORM_USBD_EXPORTS(CAM_EXPORT)};

#undef CAM_EXPORT
#undef CAM_EXPORT_AS

// The HAL's routines that drivers use are kernel exports on x64; the module is still there to
// import from.
const Module kModules[] = {
    {"ntoskrnl.exe", kNtoskrnl},
    {"HAL.dll", {}},
    {"ks.sys", kKs},
    {"USBD.SYS", kUsbd},
};

}  // namespace

std::span<const Module> SystemModules() {
    return kModules;
}

}  // namespace platform::loader
