// The command set as the camera sees it: register frames, items, queries, memory reads, and the
// protocol errors a faulty host causes.
#include <gtest/gtest.h>

#include "camera_harness.h"
#include "sim/device_memory.h"

namespace sim_test {
namespace {

using sim::kReplyEndpoint;

TEST(SimCommandTest, RegisterWritesDecodeTheSerialFrame) {
    CameraHarness h;
    h.Send(MakePacket({0x04, 0x10, 0x9E, 0x90, 0x00, 0x00}));
    h.Send(MakePacket({0x04, 0x20, 0x86, 0x91, 0x13, 0x00}));
    h.Send(MakePacket({0x04, 0x10, 0x00, 0xFC, 0x00, 0x00}));  // word 0xFC00
    h.WriteRegister(300, 0xABCD);
    h.WriteRegister(1000, 0x3FFFFF);

    EXPECT_EQ(h.camera.state().registers[158], 36u);
    EXPECT_EQ(h.camera.state().registers[390], 1252u);
    EXPECT_EQ(h.camera.state().registers[0], 63u);
    EXPECT_EQ(h.camera.state().registers[300], 0xABCDu);
    EXPECT_EQ(h.camera.state().registers[1000], 0x3FFFFFu);
    const std::vector<sim::RegisterWrite> writes = h.camera.records().RegisterWrites();
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes[0].number, 158u);
    EXPECT_EQ(writes[0].value, 36u);
    EXPECT_EQ(writes[0].bits, 16);
    EXPECT_EQ(writes[1].number, 390u);
    EXPECT_EQ(writes[1].bits, 32);
    EXPECT_EQ(writes[2].number, 0u);
    EXPECT_EQ(writes[2].value, 63u);
    EXPECT_EQ(writes[3].bits, 26);
    EXPECT_TRUE(h.camera.records().ProtocolErrors().empty());
}

TEST(SimCommandTest, MalformedRegisterFramesAreRecordedAndIgnored) {
    CameraHarness h;
    h.WriteRegister(158, 36);
    // Register 158 in a 26-bit frame, register 390 in a 16-bit frame.
    h.Send(MakePacket({0x04, 26, 0x9E, 0xFC, 0x00, 0x00}));
    h.Send(MakePacket({0x04, 16, 0x86, 0x05, 0x00, 0x00}));
    // A 16-bit frame with bits above bit 15.
    h.Send(MakePacket({0x04, 16, 0x9E, 0x04, 0x01, 0x00}));
    // Register 1024 as a host sends it: number 0, the 22-bit class.
    h.Send(RegisterPacket(1024, 5));

    EXPECT_EQ(h.camera.state().registers[158], 36u);
    EXPECT_EQ(h.camera.state().registers[390], 0u);
    EXPECT_EQ(h.camera.state().registers[0], 0u);
    EXPECT_EQ(h.camera.records().RegisterWrites().size(), 1u);
    const std::vector<sim::ProtocolError> errors = h.camera.records().ProtocolErrors();
    ASSERT_EQ(errors.size(), 4u);
    for (const sim::ProtocolError& error : errors) {
        EXPECT_EQ(error.code, 0x04);
    }
    EXPECT_NE(errors[0].what.find("158"), std::string::npos) << errors[0].what;
}

TEST(SimCommandTest, ItemQueryAnswersInTheSecondPacketAfterADecoy) {
    CameraHarness h;
    h.camera.SetClockSetting(3);
    h.Send(MakePacket({0x26, 15}));
    std::vector<LinkEvent> replies = h.link.Events(kReplyEndpoint, LinkEvent::kSend);
    ASSERT_EQ(replies.size(), 2u);
    ASSERT_EQ(replies[0].data.size(), 64u);
    ASSERT_EQ(replies[1].data.size(), 64u);
    EXPECT_NE(replies[0].data[0], 3);
    EXPECT_EQ(replies[1].data[0], 3);

    // Setting item 15 changes the clock setting; other items answer what was set.
    h.SetItem(15, 1);
    h.SetItem(11, 1);
    h.link.Clear();
    h.Send(MakePacket({0x26, 15}));
    h.Send(MakePacket({0x26, 11}));
    replies = h.link.Events(kReplyEndpoint, LinkEvent::kSend);
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[1].data[0], 1);
    EXPECT_EQ(replies[3].data[0], 1);
    EXPECT_NE(replies[2].data[0], 1);

    const std::vector<sim::ItemWrite> items = h.camera.records().ItemWrites();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].item, 15);
    EXPECT_EQ(items[1].item, 11);
    EXPECT_EQ(h.camera.state().items[11], 1);
}

TEST(SimCommandTest, MemoryReadAnswersTheAddressedByte) {
    CameraHarness h;
    h.Send(MakePacket({0x41, 0x51, 0x02, 0x01, 0x01, 0x23}));
    h.Send(MakePacket({0x41, 0x51, 0x02, 0x01, 0x00, 0x07}));
    h.Send(MakePacket({0x41, 0x51, 0x02, 0x01, 0xF0, 0x00}));  // beyond the memory
    const std::vector<LinkEvent> replies = h.link.Events(kReplyEndpoint, LinkEvent::kSend);
    ASSERT_EQ(replies.size(), 6u);
    EXPECT_EQ(replies[1].data[0], sim::DeviceMemoryByte(0x123));
    EXPECT_NE(replies[0].data[0], replies[1].data[0]);
    EXPECT_EQ(replies[3].data[0], sim::DeviceMemoryByte(7));
    EXPECT_NE(sim::DeviceMemoryByte(0x123), sim::DeviceMemoryByte(7));
    EXPECT_EQ(replies[5].data[0], 0xFF);
    EXPECT_TRUE(h.camera.records().ProtocolErrors().empty());

    // A malformed header is an error, but the host still gets its two packets.
    h.Send(MakePacket({0x41, 0x50, 0x02, 0x01, 0x00, 0x07}));
    EXPECT_EQ(h.link.Events(kReplyEndpoint, LinkEvent::kSend).size(), 8u);
    EXPECT_EQ(h.camera.records().ProtocolErrors().size(), 1u);
}

TEST(SimCommandTest, OtherCommandsAreRecordedAndFaultyPacketsReported) {
    CameraHarness h;
    EXPECT_FALSE(h.camera.state().awake);
    h.Send(MakePacket({0x06}));
    EXPECT_TRUE(h.camera.state().awake);
    h.Send(MakePacket({0x40, 1, 2, 3}));
    h.Send(MakePacket({0x0A, 0x01}));
    ASSERT_EQ(h.camera.records().RawCommands().size(), 1u);
    EXPECT_EQ(h.camera.records().RawCommands()[0][3], 3);
    EXPECT_TRUE(h.camera.records().ProtocolErrors().empty());
    EXPECT_EQ(h.camera.records().Commands().size(), 3u);

    h.Send(MakePacket({0x77}));
    sim::Packet padded = MakePacket({0x25, 11, 1});
    padded[63] = 1;
    h.Send(padded);
    h.Send(MakePacket({0x0A, 0x02}));
    const uint8_t short_packet[10] = {0x06};
    const platform::UsbOutResult result =
        h.camera.Out(sim::kCommandEndpoint, short_packet, sizeof(short_packet));
    EXPECT_EQ(result.status, USBD_STATUS_SUCCESS);
    const std::vector<sim::ProtocolError> errors = h.camera.records().ProtocolErrors();
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[0].code, 0x77);
    EXPECT_EQ(errors[1].code, 0x25);
    EXPECT_EQ(errors[2].code, 0x0A);
    EXPECT_EQ(errors[3].code, 0x06);
    // The padded item write still takes effect; the short packet is not a command.
    EXPECT_EQ(h.camera.state().items[11], 1);
    EXPECT_EQ(h.camera.records().Commands().size(), 6u);

    h.camera.records().Clear();
    EXPECT_TRUE(h.camera.records().ProtocolErrors().empty());
    EXPECT_TRUE(h.camera.records().Commands().empty());
}

TEST(SimCommandTest, CommandsNeedAConfiguredDevice) {
    CameraHarness h;
    EXPECT_FALSE(h.camera.SetConfiguration(2));
    ASSERT_TRUE(h.camera.SetConfiguration(0));
    EXPECT_EQ(h.camera.state().configuration, 0);
    EXPECT_TRUE(USBD_ERROR(h.Send(RegisterPacket(158, 1)).status));
    EXPECT_EQ(h.camera.state().registers[158], 0u);
    ASSERT_TRUE(h.camera.SetConfiguration(1));
    EXPECT_EQ(h.Send(RegisterPacket(158, 1)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(h.camera.state().registers[158], 1u);
}

}  // namespace
}  // namespace sim_test
