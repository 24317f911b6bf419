// Synchronous bulk transfers: validation, short transfers, the unconfigured device.
#include <gtest/gtest.h>

#include "camera/frame_read.h"
#include "tests/support/rig_test.h"
#include "tests/usb/failing_filter.h"
#include "usb/usb_transport.h"

namespace {

class BulkTransferTest : public camtest::UsbRigTest {};

TEST_F(BulkTransferTest, EveryTransferFailsBeforeConfiguration) {
    UCHAR packet[kPacketSize] = {0x26, 15};
    ULONG moved = 7;
    for (ULONG pipe = 0; pipe < 4; ++pipe) {
        EXPECT_EQ(BulkTransfer(camera(), pipe, kPacketSize, packet, &moved), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(moved, 0u);
        EXPECT_FALSE(TransferPacket(camera(), pipe, kPacketSize, packet));
    }
    SendStreamControl(camera(), &kFramePackets, false);
    SendStreamControl(camera(), &kFramePackets, true);
    camera()->raw_frame_size = 65536;
    UCHAR frame[65536];
    bool armed = true;
    EXPECT_EQ(ReadFrame(camera(), &kFramePackets, kFramePipe, sizeof(frame), frame, &armed),
              STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(armed);
    EXPECT_TRUE(sim().records().Commands().empty());
}

TEST_F(BulkTransferTest, RefusesBadPipesAndEmptyPackets) {
    Configure();
    UCHAR packet[kPacketSize] = {0x26, 15};
    ULONG moved = 7;
    EXPECT_EQ(BulkTransfer(camera(), 3, kPacketSize, packet, &moved), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);
    camera()->usb.interface_info->Pipes[kCommandPipe].MaximumTransferSize = 32;
    EXPECT_EQ(BulkTransfer(camera(), kCommandPipe, kPacketSize, packet, &moved),
              STATUS_INVALID_PARAMETER);
    camera()->usb.interface_info->Pipes[kCommandPipe].MaximumTransferSize =
        USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    EXPECT_FALSE(TransferPacket(camera(), kCommandPipe, 0, packet));
    EXPECT_FALSE(TransferPacket(camera(), kCommandPipe, kPacketSize, nullptr));
    EXPECT_TRUE(sim().records().Commands().empty());
}

TEST_F(BulkTransferTest, ShortReplySucceedsAsBulkButNotAsPacket) {
    Configure();
    sim().SetFaults({.reply = {.next = {1, sim::TransferFault::kShort}}});
    UCHAR query[kPacketSize] = {0x26, 15};
    ASSERT_TRUE(TransferPacket(camera(), kCommandPipe, kPacketSize, query));
    UCHAR reply[kPacketSize] = {};
    ULONG moved = 0;
    EXPECT_EQ(BulkTransfer(camera(), kReplyPipe, kPacketSize, reply, &moved), STATUS_SUCCESS);
    EXPECT_GT(moved, 0u);
    EXPECT_LT(moved, kPacketSize);
    // The second reply packet arrives whole.
    EXPECT_TRUE(TransferPacket(camera(), kReplyPipe, kPacketSize, reply));
}

TEST_F(BulkTransferTest, ErrorStatusOfTheUrbFailsTheTransfer) {
    Configure();
    sim().SetFaults({.command = {.next = {1, sim::TransferFault::kError}}});
    UCHAR packet[kPacketSize] = {0x25, 14, 0};
    ULONG moved = 9;
    EXPECT_FALSE(NT_SUCCESS(BulkTransfer(camera(), kCommandPipe, kPacketSize, packet, &moved)));
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(TransferPacket(camera(), kCommandPipe, kPacketSize, packet));

    // The request succeeds but the URB stalled: the transfer fails all the same, nothing moved.
    camtest::FailingFilter filter(&camera()->usb);
    filter.StallBulk(camera()->usb.interface_info->Pipes[kCommandPipe].PipeHandle, 1);
    size_t commands = sim().records().Commands().size();
    moved = 9;
    EXPECT_EQ(BulkTransfer(camera(), kCommandPipe, kPacketSize, packet, &moved),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(sim().records().Commands().size(), commands);
    EXPECT_TRUE(TransferPacket(camera(), kCommandPipe, kPacketSize, packet));
}

}  // namespace
