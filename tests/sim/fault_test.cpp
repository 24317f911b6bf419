// Misbehaviour on request: hostile descriptors, stalls, short and failed transfers, silence and
// disconnection.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "camera_harness.h"

namespace sim_test {
namespace {

using sim::HostileDescriptors;
using sim::kCommandEndpoint;
using sim::kFrameEndpoint;
using sim::kReplyEndpoint;

std::vector<uint8_t> ConfigurationBytes(sim::SimCamera& camera) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(camera.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &bytes));
    return bytes;
}

uint16_t TotalLength(const std::vector<uint8_t>& bytes) {
    return static_cast<uint16_t>(bytes[2] | (bytes[3] << 8));
}

TEST(SimDescriptorTest, DeviceAndConfigurationDescriptors) {
    CameraHarness h;
    std::vector<uint8_t> device;
    ASSERT_TRUE(h.camera.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device));
    ASSERT_EQ(device.size(), sizeof(USB_DEVICE_DESCRIPTOR));
    USB_DEVICE_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, device.data(), sizeof(descriptor));
    EXPECT_EQ(descriptor.bLength, 18);
    EXPECT_EQ(descriptor.bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(descriptor.idVendor, sim::kVendorId);
    EXPECT_EQ(descriptor.idProduct, sim::kProductId);
    EXPECT_EQ(descriptor.bNumConfigurations, 1);

    const std::vector<uint8_t> config = ConfigurationBytes(h.camera);
    ASSERT_EQ(config.size(), 9u + 9u + 3u * 7u);
    EXPECT_EQ(TotalLength(config), config.size());
    EXPECT_EQ(config[4], 1);  // one interface
    EXPECT_EQ(config[5], 1);  // configuration value
    EXPECT_EQ(config[9 + 1], USB_INTERFACE_DESCRIPTOR_TYPE);
    EXPECT_EQ(config[9 + 2], 0);  // interface 0, alternate 0
    EXPECT_EQ(config[9 + 3], 0);
    EXPECT_EQ(config[9 + 4], 3);
    const uint8_t addresses[3] = {0x01, 0x81, 0x82};
    for (int i = 0; i < 3; ++i) {
        const uint8_t* endpoint = config.data() + 18 + 7 * i;
        EXPECT_EQ(endpoint[0], 7);
        EXPECT_EQ(endpoint[1], USB_ENDPOINT_DESCRIPTOR_TYPE);
        EXPECT_EQ(endpoint[2], addresses[i]);
        EXPECT_EQ(endpoint[3], USB_ENDPOINT_TYPE_BULK);
        EXPECT_EQ(endpoint[4] | (endpoint[5] << 8), 512);
    }
    std::vector<uint8_t> other;
    EXPECT_FALSE(h.camera.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, 0x409, &other));
    EXPECT_FALSE(h.camera.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0, &other));
}

TEST(SimDescriptorTest, HostileDescriptors) {
    CameraHarness h;
    const std::vector<uint8_t> good = ConfigurationBytes(h.camera);

    h.camera.SetFaults({.descriptors = HostileDescriptors::kExtraInterfaces});
    std::vector<uint8_t> bytes = ConfigurationBytes(h.camera);
    EXPECT_EQ(bytes[4], 3);
    EXPECT_EQ(bytes.size(), good.size());  // still only interface 0 inside
    EXPECT_EQ(TotalLength(bytes), bytes.size());

    h.camera.SetFaults({.descriptors = HostileDescriptors::kTotalLengthShort});
    bytes = ConfigurationBytes(h.camera);
    EXPECT_LT(TotalLength(bytes), bytes.size());
    EXPECT_GT(TotalLength(bytes), 18);  // ends inside the first endpoint
    EXPECT_LT(TotalLength(bytes), 25);

    h.camera.SetFaults({.descriptors = HostileDescriptors::kTotalLengthLong});
    bytes = ConfigurationBytes(h.camera);
    EXPECT_GT(TotalLength(bytes), bytes.size());
    EXPECT_EQ(bytes.size(), good.size());

    h.camera.SetFaults({.descriptors = HostileDescriptors::kNoPipes});
    bytes = ConfigurationBytes(h.camera);
    EXPECT_EQ(bytes.size(), 18u);
    EXPECT_EQ(TotalLength(bytes), 18);
    EXPECT_EQ(bytes[9 + 4], 0);

    h.camera.SetFaults({.descriptors = HostileDescriptors::kWrongPipeTypes});
    bytes = ConfigurationBytes(h.camera);
    ASSERT_EQ(bytes.size(), good.size());
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(bytes[18 + 7 * i + 3], USB_ENDPOINT_TYPE_BULK) << i;
    }
    EXPECT_EQ(bytes[18 + 7 * 1 + 3], USB_ENDPOINT_TYPE_ISOCHRONOUS);

    h.camera.SetFaults({.descriptors = HostileDescriptors::kNone});
    EXPECT_EQ(ConfigurationBytes(h.camera), good);
}

TEST(SimFaultTest, StalledEndpointsRecoverOnPipeReset) {
    CameraHarness h;
    h.camera.SetFaults({.command = {.stalled = true}});
    EXPECT_EQ(h.Send(RegisterPacket(158, 5)).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(h.camera.state().registers[158], 0u);
    EXPECT_EQ(h.camera.ResetPipe(kCommandEndpoint), USBD_STATUS_SUCCESS);
    EXPECT_EQ(h.Send(RegisterPacket(158, 5)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(h.camera.state().registers[158], 5u);

    // Stalling an IN endpoint fails the transfers pending on it and every one queued later.
    h.link.SetPending(kReplyEndpoint, 2);
    h.camera.SetFaults({.reply = {.stalled = true}});
    EXPECT_EQ(h.link.Events(kReplyEndpoint, LinkEvent::kFail).size(), 2u);
    h.camera.InTransferQueued(kReplyEndpoint, 64);
    const std::vector<LinkEvent> fails = h.link.Events(kReplyEndpoint, LinkEvent::kFail);
    ASSERT_EQ(fails.size(), 3u);
    EXPECT_EQ(fails[2].status, USBD_STATUS_STALL_PID);
    h.Send(MakePacket({0x26, 15}));
    EXPECT_TRUE(h.link.Events(kReplyEndpoint, LinkEvent::kSend).empty());
    ASSERT_EQ(h.camera.ResetPipe(kReplyEndpoint), USBD_STATUS_SUCCESS);
    h.Send(MakePacket({0x26, 15}));
    EXPECT_EQ(h.link.Events(kReplyEndpoint, LinkEvent::kSend).size(), 2u);
}

TEST(SimFaultTest, OutTransfersShortOrFailed) {
    CameraHarness h;
    h.camera.SetFaults(
        {.command = {.next = {2, sim::TransferFault::kError, USBD_STATUS_XACT_ERROR}}});
    EXPECT_EQ(h.Send(RegisterPacket(158, 5)).status, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(h.Send(RegisterPacket(158, 6)).status, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(h.camera.state().registers[158], 0u);
    EXPECT_EQ(h.Send(RegisterPacket(158, 7)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(h.camera.state().registers[158], 7u);

    h.camera.SetFaults({.command = {.next = {1, sim::TransferFault::kShort}}});
    const platform::UsbOutResult result = h.Send(RegisterPacket(158, 8));
    EXPECT_EQ(result.status, USBD_STATUS_SUCCESS);
    EXPECT_LT(result.accepted, 64u);
    EXPECT_EQ(h.camera.state().registers[158], 7u);
    EXPECT_EQ(h.camera.records().Commands().size(), 1u);
}

TEST(SimFaultTest, ReplyTransfersShortOrFailed) {
    CameraHarness h;
    h.camera.SetClockSetting(2);
    h.camera.SetFaults({.reply = {.next = {1, sim::TransferFault::kShort}}});
    h.Send(MakePacket({0x26, 15}));
    std::vector<LinkEvent> sends = h.link.Events(kReplyEndpoint, LinkEvent::kSend);
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_LT(sends[0].data.size(), 64u);
    EXPECT_EQ(sends[1].data.size(), 64u);

    h.link.Clear();
    h.camera.SetFaults({.reply = {.next = {1, sim::TransferFault::kError, USBD_STATUS_CRC}}});
    h.Send(MakePacket({0x26, 15}));
    const std::vector<LinkEvent> events = h.link.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, LinkEvent::kFail);
    EXPECT_EQ(events[0].status, USBD_STATUS_CRC);
    EXPECT_EQ(events[1].kind, LinkEvent::kSend);
    EXPECT_EQ(events[1].data[0], 2);
}

class SimFrameFaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.camera.SetWindow(256, 256);
        h.SetExposure(100);
        h.SetGain(512);
        h.AnnounceFrameSize(65536);
    }
    // The host's frame read with four transfers of 16 KiB.
    void ReadFrame() {
        h.Send(MakePacket({0x02}));
        h.Send(MakePacket({0x02}));
        for (int i = 0; i < 4; ++i) {
            h.camera.InTransferQueued(kFrameEndpoint, 16384);
        }
        h.Send(MakePacket({0x03}));
    }

    CameraHarness h;
};

TEST_F(SimFrameFaultTest, FailedFrameTransferLosesOnlyItsPiece) {
    h.camera.SetFaults(
        {.frame = {.next = {1, sim::TransferFault::kError, USBD_STATUS_BABBLE_DETECTED}}});
    ReadFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(1, 5000));
    std::vector<LinkEvent> events;
    for (const LinkEvent& event : h.link.Events()) {
        if (event.endpoint == kFrameEndpoint && event.kind != LinkEvent::kFlush) {
            events.push_back(event);
        }
    }
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].kind, LinkEvent::kFail);
    EXPECT_EQ(events[0].status, USBD_STATUS_BABBLE_DETECTED);
    const std::vector<uint8_t> frame = h.camera.RenderFrame(0);
    const std::vector<uint8_t> data = h.link.Data(kFrameEndpoint);
    ASSERT_EQ(data.size(), 65536u - 16384u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), frame.begin() + 16384));

    // The fault was used up: the next frame is whole.
    h.link.Clear();
    ReadFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(2, 5000));
    EXPECT_EQ(h.link.Data(kFrameEndpoint), h.camera.RenderFrame(1));
}

TEST_F(SimFrameFaultTest, ShortFrameTransferEndsEarlyAndKeepsTheRestInPlace) {
    h.camera.SetFaults({.frame = {.next = {2, sim::TransferFault::kShort}}});
    ReadFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(1, 5000));
    const std::vector<LinkEvent> sends = h.link.Events(kFrameEndpoint, LinkEvent::kSend);
    ASSERT_GE(sends.size(), 4u);
    // Each short piece ends with a packet that is not full, which ends the host's transfer.
    EXPECT_EQ(sends[0].data.size(), 8191u);
    EXPECT_EQ(sends[1].data.size(), 8191u);
    const std::vector<uint8_t> frame = h.camera.RenderFrame(0);
    EXPECT_TRUE(std::equal(sends[0].data.begin(), sends[0].data.end(), frame.begin()));
    EXPECT_TRUE(std::equal(sends[1].data.begin(), sends[1].data.end(), frame.begin() + 16384));
    EXPECT_TRUE(std::equal(sends[2].data.begin(), sends[2].data.end(), frame.begin() + 32768));
    EXPECT_EQ(h.link.Data(kFrameEndpoint).size(), 8191u * 2 + 32768u);
}

TEST_F(SimFrameFaultTest, SilentCameraTakesNothingAndSendsNothing) {
    h.camera.SetLinkSpeed(400'000);
    ReadFrame();
    ASSERT_TRUE(h.link.WaitForData(kFrameEndpoint, 16384, 5000));
    h.camera.SetFaults({.silent = true});
    const size_t sent = h.link.Data(kFrameEndpoint).size();
    const platform::UsbOutResult result = h.Send(RegisterPacket(158, 9));
    EXPECT_TRUE(result.never_completes);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(h.link.Data(kFrameEndpoint).size(), sent);
    EXPECT_NE(h.camera.state().registers[158], 9u);
    EXPECT_TRUE(h.camera.records().SentFrames().empty());

    h.camera.SetFaults({.silent = false});
    h.camera.SetLinkSpeed(0);
    ReadFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(1, 5000));
    EXPECT_EQ(h.link.Data(kFrameEndpoint), h.camera.RenderFrame(1));
}

TEST_F(SimFrameFaultTest, StalledFramePipeFailsTransfersUntilReset) {
    h.camera.SetFaults({.frame = {.stalled = true}});
    ReadFrame();
    EXPECT_EQ(h.link.Events(kFrameEndpoint, LinkEvent::kFail).size(), 4u);
    ASSERT_TRUE(h.camera.WaitSenderIdle(1000));
    EXPECT_TRUE(h.link.Data(kFrameEndpoint).empty());
    ASSERT_EQ(h.camera.ResetPipe(kFrameEndpoint), USBD_STATUS_SUCCESS);
    ReadFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(1, 5000));
    EXPECT_EQ(h.link.Data(kFrameEndpoint).size(), 65536u);
}

TEST(SimFaultTest, TheRecordIsUsedUpAndOnlyNewFaultsActOnPendingTransfers) {
    CameraHarness h;
    h.link.SetPending(kFrameEndpoint, 2);
    h.camera.SetFaults({.command = {.next = {3, sim::TransferFault::kError}},
                        .reply = {.stalled = true},
                        .frame = {.stalled = true}});
    EXPECT_EQ(h.link.Events(kFrameEndpoint, LinkEvent::kFail).size(), 2u);
    h.Send(RegisterPacket(158, 1));
    sim::Faults left = h.camera.faults();
    EXPECT_EQ(left.command.next.count, 2u);
    EXPECT_TRUE(left.reply.stalled);

    // The same stall set again is no new stall: the pending transfers do not fail twice.
    h.camera.SetFaults(left);
    EXPECT_EQ(h.link.Events(kFrameEndpoint, LinkEvent::kFail).size(), 2u);

    // A pipe reset lifts its own stall; a port reset lifts every stall and the disconnection.
    ASSERT_EQ(h.camera.ResetPipe(kReplyEndpoint), USBD_STATUS_SUCCESS);
    left = h.camera.faults();
    EXPECT_FALSE(left.reply.stalled);
    EXPECT_TRUE(left.frame.stalled);
    left.disconnected = true;
    h.camera.SetFaults(left);
    h.camera.ResetPort();
    left = h.camera.faults();
    EXPECT_FALSE(left.frame.stalled);
    EXPECT_FALSE(left.disconnected);
    EXPECT_EQ(left.command.next.count, 2u);

    // Each record replaces the one before as a whole.
    h.camera.SetFaults({.drop_frames = 1});
    left = h.camera.faults();
    EXPECT_EQ(left.command.next.count, 0u);
    EXPECT_EQ(left.drop_frames, 1u);
}

TEST(SimFaultTest, DisconnectFailsEverythingUntilPortReset) {
    CameraHarness h;
    EXPECT_EQ(h.camera.PortStatus(), uint32_t{USBD_PORT_CONNECTED | USBD_PORT_ENABLED});
    h.link.SetPending(kFrameEndpoint, 3);
    h.camera.SetFaults({.disconnected = true});
    EXPECT_EQ(h.camera.PortStatus(), uint32_t{USBD_PORT_CONNECTED});
    EXPECT_EQ(h.link.Events(kFrameEndpoint, LinkEvent::kFail).size(), 3u);
    EXPECT_TRUE(USBD_ERROR(h.Send(RegisterPacket(158, 3)).status));
    h.camera.InTransferQueued(kReplyEndpoint, 64);
    EXPECT_EQ(h.link.Events(kReplyEndpoint, LinkEvent::kFail).size(), 1u);
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(h.camera.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &bytes));
    EXPECT_TRUE(USBD_ERROR(h.camera.ResetPipe(kCommandEndpoint)));
    EXPECT_EQ(h.camera.state().registers[158], 0u);

    h.camera.ResetPort();
    EXPECT_EQ(h.camera.PortStatus(), uint32_t{USBD_PORT_CONNECTED | USBD_PORT_ENABLED});
    EXPECT_EQ(h.Send(RegisterPacket(158, 3)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(h.camera.state().registers[158], 3u);
}

}  // namespace
}  // namespace sim_test
