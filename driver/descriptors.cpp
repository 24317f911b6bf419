// Device and filter descriptors.
#include "driver/descriptors.h"

#include "control/camera_property_set.h"
#include "driver/device_callbacks.h"
#include "driver/filter.h"

namespace {

const KSDEVICE_DISPATCH kDeviceDispatch = {
    CameraDeviceAdd, CameraDeviceStart, nullptr, nullptr, nullptr, CameraDeviceStop, nullptr,
    nullptr,         nullptr,           nullptr, nullptr, nullptr, nullptr,          nullptr,
};

const GUID kFilterCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

}  // namespace

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, 0, 0};

const KSFILTER_DESCRIPTOR kFilterDescriptor = {
    &kFilterDispatch,
    &kCameraAutomationTable,
    KSFILTER_DESCRIPTOR_VERSION,
    0,  // Flags
    &KSNAME_Filter,
    1,
    sizeof(KSPIN_DESCRIPTOR_EX),
    &kCapturePinDescriptor,
    sizeof(kFilterCategories) / sizeof(kFilterCategories[0]),
    kFilterCategories,
    0,
    24,  // node descriptor size
    nullptr,
    0,
    nullptr,
    nullptr,
};
