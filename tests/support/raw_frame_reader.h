// Whole raw frames read one after another into one pool buffer, through the camera's frame source
// as the capture worker reads them, with nothing converted or delivered: the USB device of a
// USB-level rig configured and the capture set up at the rig's size.
#pragma once

#include "tests/support/rig.h"

namespace camtest {

class RawFrameReader {
  public:
    explicit RawFrameReader(Rig& rig);
    ~RawFrameReader();
    RawFrameReader(const RawFrameReader&) = delete;
    RawFrameReader& operator=(const RawFrameReader&) = delete;

    // Whether frames can be read; when not, the failure was reported.
    bool ready() const { return buffer_ != nullptr; }
    ULONG frame_size() const { return camera_->raw_frame_size; }
    bool Read();

  private:
    CameraContext* camera_;
    PUCHAR buffer_ = nullptr;
};

}  // namespace camtest
