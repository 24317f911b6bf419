#include "camera/frame_read.h"

#include "camera/protocol.h"

const FramePackets kFramePackets = {BuildFrameRequestPacket, BuildStreamControlPacket};

bool ReadRawFrame(CameraContext* camera, PUCHAR buffer, bool* ok) {
    const bool captured = ReadRequestedFrame(camera, &kFramePackets, buffer) == STATUS_SUCCESS;
    if (ok != nullptr) {
        *ok = captured;
    }
    return captured;
}
