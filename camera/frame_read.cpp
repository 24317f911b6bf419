#include "camera/frame_read.h"

#include "camera/command_lock.h"
#include "camera/protocol.h"

const FramePackets kFramePackets = {BuildFrameRequestPacket, BuildStreamControlPacket};

bool ReadRawFrame(CameraContext* camera, PUCHAR buffer, bool* ok) {
    bool out_of_step = false;
    const bool captured =
        ReadRequestedFrame(camera, &kFramePackets, buffer, &out_of_step) == STATUS_SUCCESS;
    // A request or arm that failed may or may not have reached the camera, which would then take
    // every later request for an arm, and no frame would come again: a port reset starts its pairs
    // afresh. Inside a command sequence, so that no other thread's exchange is cut in two.
    if (out_of_step) {
        CommandSequence sequence(camera);
        ResetPort(&camera->usb);
    }
    if (ok != nullptr) {
        *ok = captured;
    }
    return captured;
}
