// The camera's capture filter as an application holds it: open on a started device, its property
// set read and written by item, closed again (which saves the settings).
#pragma once

#include <string>
#include <vector>

#include "camdrv/camera_properties.h"
#include "platform/ks_client.h"
#include "tools/common/arguments.h"

namespace camtools {

namespace client = platform::ks::client;

class CameraFilter {
  public:
    // Opens the device's filter; status() says how that went.
    explicit CameraFilter(PKSDEVICE device);
    ~CameraFilter();
    CameraFilter(const CameraFilter&) = delete;
    CameraFilter& operator=(const CameraFilter&) = delete;

    NTSTATUS status() const { return status_; }
    PKSDEVICE device() const { return device_; }
    client::Filter* filter() const { return filter_; }

    // A get or a set of an item carried in a CameraPropertyValue (aux is the register write's
    // value).
    NTSTATUS Get(camdrv::CameraItem item, LONG* value);
    NTSTATUS Set(camdrv::CameraItem item, LONG value, LONG aux = 0);
    // Sets each in order, stopping at the first that fails; returns what failed, or an empty
    // string.
    std::string SetAll(const std::vector<Assignment>& assignments);
    // A get or a set of an item carried in a CameraCommandRequest (the raw command, the camera
    // memory); the header is filled in here.
    NTSTATUS Command(camdrv::CameraItem item, bool set, camdrv::CameraCommandRequest* request);

    // The byte at a camera memory address; *answered false when the camera did not answer. The
    // driver reports success then too and leaves the buffer as it was, so the buffer is filled
    // first, and read again with another fill when the byte equals the first.
    NTSTATUS ReadMemory(LONG address, UCHAR* byte, bool* answered);

    // Returns the status of the filter's Close.
    NTSTATUS Close();

  private:
    PKSDEVICE device_;
    client::Filter* filter_ = nullptr;
    NTSTATUS status_ = STATUS_UNSUCCESSFUL;
};

// "get of Brightness failed: 0xC0000230 (STATUS_PROPSET_NOT_FOUND)"
std::string PropertyFailure(camdrv::CameraItem item, bool set, NTSTATUS status);

}  // namespace camtools
