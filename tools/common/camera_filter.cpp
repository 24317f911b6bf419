#include "tools/common/camera_filter.h"

#include "tools/common/status_text.h"

namespace camtools {

namespace {

KSPROPERTY Header(camdrv::CameraItem item, bool set) {
    KSPROPERTY header{};
    header.Set = camdrv::kCameraPropertySet;
    header.Id = (ULONG)item;
    header.Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
    return header;
}

}  // namespace

CameraFilter::CameraFilter(PKSDEVICE device) : device_(device) {
    status_ = client::OpenFilter(device, nullptr, &filter_);
}

CameraFilter::~CameraFilter() {
    Close();
}

NTSTATUS CameraFilter::Close() {
    if (filter_ == nullptr)
        return STATUS_SUCCESS;
    NTSTATUS status = client::CloseFilter(filter_);
    filter_ = nullptr;
    return status;
}

// One record serves as both the property and the data buffer: the handlers never read the data
// buffer's header.
NTSTATUS CameraFilter::Get(camdrv::CameraItem item, LONG* value) {
    camdrv::CameraPropertyValue request{};
    request.header = Header(item, false);
    NTSTATUS status =
        client::PropertyRequest(filter_, &request, sizeof(request), &request, sizeof(request));
    if (NT_SUCCESS(status))
        *value = request.value;
    return status;
}

NTSTATUS CameraFilter::Set(camdrv::CameraItem item, LONG value, LONG aux) {
    camdrv::CameraPropertyValue request{};
    request.header = Header(item, true);
    request.value = value;
    request.aux = aux;
    return client::PropertyRequest(filter_, &request, sizeof(request), &request, sizeof(request));
}

std::string CameraFilter::SetAll(const std::vector<Assignment>& assignments) {
    for (const Assignment& assignment : assignments) {
        const NTSTATUS status = Set(assignment.item->id, assignment.value);
        if (!NT_SUCCESS(status))
            return PropertyFailure(assignment.item->id, true, status);
    }
    return "";
}

NTSTATUS CameraFilter::Command(camdrv::CameraItem item, bool set,
                               camdrv::CameraCommandRequest* request) {
    request->header = Header(item, set);
    return client::PropertyRequest(filter_, request, sizeof(*request), request, sizeof(*request));
}

NTSTATUS CameraFilter::ReadMemory(LONG address, UCHAR* byte, bool* answered) {
    *answered = false;
    camdrv::CameraCommandRequest request{};
    request.value = address;
    NTSTATUS status = Command(camdrv::CameraItem::CameraMemory, true, &request);
    for (const UCHAR fill : {0xFF, 0x00}) {
        if (!NT_SUCCESS(status))
            return status;
        request = {};
        request.bytes[0] = fill;
        status = Command(camdrv::CameraItem::CameraMemory, false, &request);
        if (NT_SUCCESS(status) && request.bytes[0] != fill) {
            *byte = request.bytes[0];
            *answered = true;
            return status;
        }
    }
    return status;
}

std::string PropertyFailure(camdrv::CameraItem item, bool set, NTSTATUS status) {
    return std::string(set ? "set" : "get") + " of " + camdrv::ItemName(item) +
           " failed: " + StatusText(status);
}

}  // namespace camtools
