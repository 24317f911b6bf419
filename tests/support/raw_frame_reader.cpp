#include "tests/support/raw_frame_reader.h"

#include "driver/pool_tags.h"
#include "tests/support/failure_report.h"

namespace camtest {

RawFrameReader::RawFrameReader(Rig& rig) : camera_(rig.context()) {
    if (camera_ == nullptr || rig.ConfigureUsb() != STATUS_SUCCESS) {
        ReportFailure("raw frames: the camera's USB device is not configured");
        return;
    }
    camera_->frame_source->StartCapture(camera_, nullptr, camera_->image_width,
                                        camera_->image_height);
    if (camera_->raw_frame_size == 0) {
        ReportFailure("raw frames: the capture set-up announced no frame");
        return;
    }
    buffer_ = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, camera_->raw_frame_size, kFrameBufferTag));
}

RawFrameReader::~RawFrameReader() {
    if (buffer_ != nullptr)
        ExFreePoolWithTag(buffer_, kFrameBufferTag);
}

bool RawFrameReader::Read() {
    bool ok = false;
    return camera_->frame_source->ReadRawFrame(camera_, buffer_, &ok);
}

}  // namespace camtest
