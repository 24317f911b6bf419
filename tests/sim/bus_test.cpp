// The camera behind the real bus stand-in: configuration from its descriptors, commands and
// replies on bulk pipes, and a frame read that a cancelled earlier read does not misalign.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "camera_harness.h"
#include "platform/ddk.h"
#include "tests/support/urb_requests.h"

namespace sim_test {
namespace {

using camtest::BuildBulk;
using camtest::Request;
using camtest::Send;
using camtest::SendAndWait;

class SimBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        camera.SetLinkSpeed(0);
        port = platform::UsbBusPlugIn(&camera);
        ASSERT_NE(port, nullptr);

        std::vector<uint8_t> config(64, 0);
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(),
                                     nullptr, static_cast<ULONG>(config.size()), nullptr);
        ASSERT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_SUCCESS);
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1);
        ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
        PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
        ASSERT_NE(select, nullptr);
        const NTSTATUS status = SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, select);
        if (status == STATUS_SUCCESS) {
            ASSERT_EQ(list[0].Interface->NumberOfPipes, 3u);
            for (int i = 0; i < 3; ++i) {
                pipes[i] = list[0].Interface->Pipes[i].PipeHandle;
            }
        }
        ExFreePool(select);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_NE(camera.state().configuration, 0);
    }

    void TearDown() override {
        if (port != nullptr) {
            platform::UsbBusUnplug(port);
        }
    }

    NTSTATUS Command(const sim::Packet& packet) {
        sim::Packet copy = packet;
        URB urb;
        BuildBulk(&urb, pipes[0], false, copy.data(), sim::kPacketSize);
        return SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    }

    // Reads one reply packet; returns the bytes moved.
    uint32_t Reply(sim::Packet* packet) {
        URB urb;
        BuildBulk(&urb, pipes[1], true, packet->data(), sim::kPacketSize);
        EXPECT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_SUCCESS);
        return urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    }

    sim::SimCamera camera;
    PDEVICE_OBJECT port = nullptr;
    USBD_PIPE_HANDLE pipes[3] = {};
};

TEST_F(SimBusTest, CommandsAndQueriesOverBulkPipes) {
    ASSERT_EQ(Command(RegisterPacket(390, 1252)), STATUS_SUCCESS);
    EXPECT_EQ(camera.state().registers[390], 1252u);

    camera.SetClockSetting(3);
    ASSERT_EQ(Command(MakePacket({0x26, 15})), STATUS_SUCCESS);
    sim::Packet first{};
    sim::Packet second{};
    ASSERT_EQ(Reply(&first), 64u);
    ASSERT_EQ(Reply(&second), 64u);
    EXPECT_NE(first[0], 3);
    EXPECT_EQ(second[0], 3);
    EXPECT_TRUE(camera.records().ProtocolErrors().empty());
}

TEST_F(SimBusTest, FrameAfterACancelledReadArrivesAligned) {
    camera.SetWindow(256, 256);
    const uint8_t size[4] = {0x00, 0x00, 0x01, 0x00};  // 65536
    for (uint8_t i = 0; i < 4; ++i) {
        ASSERT_EQ(Command(MakePacket({0x25, i, size[i]})), STATUS_SUCCESS);
    }
    ASSERT_EQ(camera.state().AnnouncedFrameSize(), 65536u);

    // A read that gives up before the slow frame is complete; the rest of that frame keeps
    // arriving in the bus with no transfer to take it.
    camera.SetLinkSpeed(400'000);
    std::vector<uint8_t> first(65536, 0xEE);
    ASSERT_EQ(Command(MakePacket({0x02})), STATUS_SUCCESS);
    ASSERT_EQ(Command(MakePacket({0x02})), STATUS_SUCCESS);
    URB cancelled_urb;
    BuildBulk(&cancelled_urb, pipes[2], true, first.data(), 65536);
    Request cancelled;
    Send(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &cancelled_urb, &cancelled);
    ASSERT_EQ(Command(MakePacket({0x03})), STATUS_SUCCESS);
    EXPECT_EQ(cancelled.Result(60), STATUS_TIMEOUT);
    IoCancelIrp(cancelled.irp);
    EXPECT_EQ(cancelled.Result(2000), STATUS_CANCELLED);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    // The next frame starts at its first byte: nothing of frame 0 is left in front of it.
    camera.SetLinkSpeed(0);
    std::vector<uint8_t> whole(65536, 0xEE);
    ASSERT_EQ(Command(MakePacket({0x02})), STATUS_SUCCESS);
    ASSERT_EQ(Command(MakePacket({0x02})), STATUS_SUCCESS);
    URB full;
    BuildBulk(&full, pipes[2], true, whole.data(), 65536);
    Request read;
    Send(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &full, &read);
    ASSERT_EQ(Command(MakePacket({0x03})), STATUS_SUCCESS);
    ASSERT_EQ(read.Result(2000), STATUS_SUCCESS);
    EXPECT_EQ(full.UrbBulkOrInterruptTransfer.TransferBufferLength, 65536u);
    EXPECT_EQ(whole, camera.RenderFrame(1));
    // The sender notes the frame as sent just after the bus has taken its last byte.
    ASSERT_TRUE(camera.records().WaitForSentFrames(1, 2000));
    EXPECT_EQ(camera.records().SentFrames(), (std::vector<uint64_t>{1}));
    EXPECT_TRUE(camera.records().ProtocolErrors().empty());
}

}  // namespace
}  // namespace sim_test
