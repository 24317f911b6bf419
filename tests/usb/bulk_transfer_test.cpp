// Synchronous bulk transfers: validation, short transfers, the unconfigured device.
#include <gtest/gtest.h>

#include "tests/support/camera_fixture.h"
#include "tests/usb/failing_filter.h"

namespace {

using camtest::CameraFixture;

class BulkTransferTest : public CameraFixture {};

TEST_F(BulkTransferTest, EveryTransferFailsBeforeConfiguration) {
    UCHAR packet[kPacketSize] = {0x26, 15};
    ULONG moved = 7;
    for (ULONG pipe = 0; pipe < 4; ++pipe) {
        EXPECT_EQ(BulkTransfer(camera_, pipe, kPacketSize, packet, &moved), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(moved, 0u);
        EXPECT_FALSE(TransferPacket(camera_, pipe, kPacketSize, packet));
    }
    SendStreamControl(camera_, &kFramePackets, false);
    SendStreamControl(camera_, &kFramePackets, true);
    camera_->raw_frame_size = 65536;
    UCHAR frame[65536];
    EXPECT_EQ(ReadFrame(camera_, &kFramePackets, kFramePipe, sizeof(frame), frame),
              STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim_.records().Commands().empty());
}

TEST_F(BulkTransferTest, RefusesBadPipesAndEmptyPackets) {
    Configure();
    UCHAR packet[kPacketSize] = {0x26, 15};
    ULONG moved = 7;
    EXPECT_EQ(BulkTransfer(camera_, 3, kPacketSize, packet, &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);
    camera_->usb.interface_info->Pipes[kCommandPipe].MaximumTransferSize = 32;
    EXPECT_EQ(BulkTransfer(camera_, kCommandPipe, kPacketSize, packet, &moved),
              STATUS_INVALID_PARAMETER);
    camera_->usb.interface_info->Pipes[kCommandPipe].MaximumTransferSize =
        USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    EXPECT_FALSE(TransferPacket(camera_, kCommandPipe, 0, packet));
    EXPECT_FALSE(TransferPacket(camera_, kCommandPipe, kPacketSize, nullptr));
    EXPECT_TRUE(sim_.records().Commands().empty());
}

TEST_F(BulkTransferTest, ShortReplySucceedsAsBulkButNotAsPacket) {
    Configure();
    sim_.SetFaults({.reply = {.next = {1, sim::TransferFault::kShort}}});
    UCHAR query[kPacketSize] = {0x26, 15};
    ASSERT_TRUE(TransferPacket(camera_, kCommandPipe, kPacketSize, query));
    UCHAR reply[kPacketSize] = {};
    ULONG moved = 0;
    EXPECT_EQ(BulkTransfer(camera_, kReplyPipe, kPacketSize, reply, &moved), STATUS_SUCCESS);
    EXPECT_GT(moved, 0u);
    EXPECT_LT(moved, kPacketSize);
    // The second reply packet arrives whole.
    EXPECT_TRUE(TransferPacket(camera_, kReplyPipe, kPacketSize, reply));
}

TEST_F(BulkTransferTest, ErrorStatusOfTheUrbFailsTheTransfer) {
    Configure();
    sim_.SetFaults({.command = {.next = {1, sim::TransferFault::kError}}});
    UCHAR packet[kPacketSize] = {0x25, 14, 0};
    ULONG moved = 9;
    EXPECT_FALSE(NT_SUCCESS(BulkTransfer(camera_, kCommandPipe, kPacketSize, packet, &moved)));
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(TransferPacket(camera_, kCommandPipe, kPacketSize, packet));

    // The request succeeds but the URB stalled: the transfer fails all the same, nothing moved.
    camtest::FailingFilter filter(port_);
    camera_->usb.lower_device = filter.device();
    filter.StallBulk(camera_->usb.interface_info->Pipes[kCommandPipe].PipeHandle, 1);
    size_t commands = sim_.records().Commands().size();
    moved = 9;
    EXPECT_EQ(BulkTransfer(camera_, kCommandPipe, kPacketSize, packet, &moved),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(sim_.records().Commands().size(), commands);
    EXPECT_TRUE(TransferPacket(camera_, kCommandPipe, kPacketSize, packet));
    camera_->usb.lower_device = port_;
}

}  // namespace
