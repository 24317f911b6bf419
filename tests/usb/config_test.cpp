// Configuration of the camera's USB device, hostile descriptors, pipe and port recovery.
#include <gtest/gtest.h>

#include "tests/support/camera_fixture.h"
#include "tests/usb/failing_filter.h"

namespace {

using camtest::CameraFixture;

class UsbConfigTest : public CameraFixture {};

TEST_F(UsbConfigTest, ConfiguresThreePipesAndReturnsToUnconfigured) {
    Configure();
    UsbDevice& usb = camera_->usb;
    ASSERT_NE(usb.configuration_descriptor, nullptr);
    ASSERT_NE(usb.interface_info, nullptr);
    ASSERT_NE(usb.pipe_active, nullptr);
    EXPECT_NE(sim_.state().configuration, 0);
    EXPECT_EQ(usb.interface_info->InterfaceNumber, 0);
    ASSERT_EQ(usb.interface_info->NumberOfPipes, 3u);
    EXPECT_EQ(usb.interface_info->Length, GET_USBD_INTERFACE_SIZE(3));
    const UCHAR addresses[] = {sim::kCommandEndpoint, sim::kReplyEndpoint, sim::kFrameEndpoint};
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(usb.interface_info->Pipes[i].EndpointAddress, addresses[i]);
        EXPECT_EQ(usb.interface_info->Pipes[i].PipeType, UsbdPipeTypeBulk);
        EXPECT_NE(usb.interface_info->Pipes[i].PipeHandle, nullptr);
        EXPECT_EQ(usb.pipe_active[i], 0);
    }
    EXPECT_EQ(usb.configuration_descriptor->bDescriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);

    // With nothing marked, aborting sends nothing and succeeds; a marked pipe alone is aborted.
    camtest::FailingFilter filter(port_);
    usb.lower_device = filter.device();
    EXPECT_EQ(StopCapture(camera_), STATUS_SUCCESS);
    EXPECT_EQ(filter.AbortsSeen(), 0);
    SetPipeActive(&usb, 2, 1);
    EXPECT_EQ(StopCapture(camera_), STATUS_SUCCESS);
    EXPECT_EQ(filter.AbortsSeen(), 1);
    EXPECT_EQ(usb.pipe_active[2], 0);
    usb.lower_device = port_;

    EXPECT_EQ(StopUsbDevice(&usb), STATUS_SUCCESS);
    EXPECT_EQ(usb.configuration_descriptor, nullptr);
    EXPECT_EQ(usb.interface_info, nullptr);
    EXPECT_EQ(usb.pipe_active, nullptr);
    EXPECT_EQ(sim_.state().configuration, 0);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kUsbTag), 0u);
}

TEST_F(UsbConfigTest, ExtraAnnouncedInterfacesStillSelectInterfaceZero) {
    sim_.SetFaults({.descriptors = sim::HostileDescriptors::kExtraInterfaces});
    ASSERT_EQ(StartUsbDevice(&camera_->usb), STATUS_SUCCESS);
    ASSERT_NE(camera_->usb.interface_info, nullptr);
    EXPECT_EQ(camera_->usb.interface_info->InterfaceNumber, 0);
    EXPECT_EQ(camera_->usb.interface_info->NumberOfPipes, 3u);
}

TEST_F(UsbConfigTest, MalformedTotalLengthsAreRefusedWithoutLeaks) {
    for (auto kind :
         {sim::HostileDescriptors::kTotalLengthShort, sim::HostileDescriptors::kTotalLengthLong}) {
        sim_.SetFaults({.descriptors = kind});
        EXPECT_EQ(StartUsbDevice(&camera_->usb), STATUS_DEVICE_DATA_ERROR) << (int)kind;
        EXPECT_EQ(camera_->usb.configuration_descriptor, nullptr);
        EXPECT_EQ(camera_->usb.interface_info, nullptr);
        EXPECT_EQ(sim_.state().configuration, 0);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kUsbTag), 0u);
        ULONG moved = 0;
        UCHAR packet[kPacketSize] = {0x26, 15};
        EXPECT_EQ(BulkTransfer(camera_, kCommandPipe, kPacketSize, packet, &moved),
                  STATUS_UNSUCCESSFUL);
    }
}

TEST_F(UsbConfigTest, MalformedDescriptorChainsAreRefusedWithoutLeaks) {
    const std::vector<uint8_t> good = sim::ConfigurationDescriptor(sim::HostileDescriptors::kNone);
    ASSERT_GE(good.size(), 9u + 9u + 7u);
    const size_t interface_at = good[0];
    const size_t endpoint_at = interface_at + good[interface_at];
    auto with = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> bytes = good;
        bytes[at] = value;
        return bytes;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"total length below the header", with(2, 5)},
        {"header of another type", with(1, USB_INTERFACE_DESCRIPTOR_TYPE)},
        {"zero-length descriptor", with(endpoint_at, 0)},
        {"interface descriptor too short", with(interface_at, 4)},
        {"endpoint descriptor too short", with(endpoint_at, 3)},
        {"descriptor running past the end", with(endpoint_at, 200)},
        {"no interfaces", with(4, 0)},
        {"header cut short", std::vector<uint8_t>(good.begin(), good.begin() + 6)},
    };
    for (const Case& c : cases) {
        sim_.OverrideConfiguration(c.bytes);
        EXPECT_EQ(StartUsbDevice(&camera_->usb), STATUS_DEVICE_DATA_ERROR) << c.what;
        EXPECT_EQ(camera_->usb.interface_info, nullptr) << c.what;
        EXPECT_EQ(sim_.state().configuration, 0) << c.what;
        StopUsbDevice(&camera_->usb);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kUsbTag), 0u) << c.what;
    }
    sim_.OverrideConfiguration({});
    EXPECT_EQ(StartUsbDevice(&camera_->usb), STATUS_SUCCESS);
}

void ExpectNoTransferPossible(CameraContext* camera, NTSTATUS refusal) {
    UCHAR packet[kPacketSize] = {0x26, 15};
    ULONG moved = 1;
    EXPECT_EQ(BulkTransfer(camera, kCommandPipe, kPacketSize, packet, &moved), refusal);
    EXPECT_EQ(moved, 0u);
    camera->raw_frame_size = 4096;
    frame_timeout_ms = 50;
    UCHAR frame[4096];
    bool ok = true;
    EXPECT_FALSE(ReadRawFrame(camera, frame, &ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(StopCapture(camera), STATUS_SUCCESS);
}

TEST_F(UsbConfigTest, IsochronousPipesAreRefusedInterruptPipesServe) {
    sim_.SetFaults({.descriptors = sim::HostileDescriptors::kWrongPipeTypes});
    ASSERT_EQ(StartUsbDevice(&camera_->usb), STATUS_SUCCESS);
    UCHAR packet[kPacketSize] = {0x26, 15};
    ULONG moved = 1;
    EXPECT_EQ(BulkTransfer(camera_, kReplyPipe, kPacketSize, packet, &moved),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0u);
    UCHAR frame[4096];
    EXPECT_EQ(ReadFrame(camera_, &kFramePackets, kFramePipe, sizeof(frame), frame),
              STATUS_INVALID_PARAMETER);
    // The command pipe is an interrupt pipe, which carries packets as well.
    EXPECT_TRUE(TransferPacket(camera_, kCommandPipe, kPacketSize, packet));
    EXPECT_EQ(sim_.records().Commands().size(), 1u);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kTransferTag), 0u);
}

TEST_F(UsbConfigTest, InterfaceWithoutPipesConfiguresButRefusesEveryTransfer) {
    sim_.SetFaults({.descriptors = sim::HostileDescriptors::kNoPipes});
    ASSERT_EQ(StartUsbDevice(&camera_->usb), STATUS_SUCCESS);
    ASSERT_NE(camera_->usb.interface_info, nullptr);
    EXPECT_EQ(camera_->usb.interface_info->NumberOfPipes, 0u);
    UCHAR packet[kPacketSize] = {0x26, 15};
    for (ULONG pipe = 0; pipe < 4; ++pipe) {
        ULONG moved = 1;
        EXPECT_EQ(BulkTransfer(camera_, pipe, kPacketSize, packet, &moved),
                  STATUS_INVALID_PARAMETER)
            << "pipe " << pipe;
        EXPECT_EQ(moved, 0u);
        EXPECT_FALSE(TransferPacket(camera_, pipe, kPacketSize, packet));
    }
    EXPECT_EQ(SendStreamPacket(camera_, &kFramePackets, false), STATUS_UNSUCCESSFUL);
    UCHAR frame[4096];
    EXPECT_EQ(ReadFrame(camera_, &kFramePackets, kFramePipe, sizeof(frame), frame),
              STATUS_INVALID_PARAMETER);
    ExpectNoTransferPossible(camera_, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(StopUsbDevice(&camera_->usb), STATUS_SUCCESS);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kUsbTag), 0u);
    EXPECT_TRUE(sim_.records().Commands().empty());
}

TEST_F(UsbConfigTest, AbortStopsEarlyOnlyWhenItsUrbCannotBeAllocated) {
    Configure();
    UsbDevice& usb = camera_->usb;
    camtest::FailingFilter filter(port_);
    usb.lower_device = filter.device();

    // A bus that fails the aborts: both pipes stay marked, both were tried, the stop succeeds.
    filter.FailPipeAborts(true);
    SetPipeActive(&usb, 0, 1);
    SetPipeActive(&usb, 2, 1);
    EXPECT_EQ(StopCapture(camera_), STATUS_SUCCESS);
    EXPECT_EQ(filter.AbortsSeen(), 2);
    EXPECT_EQ(usb.pipe_active[0], 1);
    EXPECT_EQ(usb.pipe_active[2], 1);
    filter.FailPipeAborts(false);

    // No carrier request for the first abort: that pipe stays marked, the next one is aborted.
    uint64_t injected = platform::verifier::InjectedFailures();
    platform::verifier::FailNthAllocation(2);
    EXPECT_EQ(StopCapture(camera_), STATUS_SUCCESS);
    platform::verifier::ClearFaults();
    EXPECT_EQ(platform::verifier::InjectedFailures() - injected, 1u);
    EXPECT_EQ(filter.AbortsSeen(), 3);
    EXPECT_EQ(usb.pipe_active[0], 1);
    EXPECT_EQ(usb.pipe_active[2], 0);

    // No URB for the first abort: the stop ends there, nothing is sent.
    SetPipeActive(&usb, 2, 1);
    platform::verifier::FailAllocationsWithTag(kUsbTag);
    EXPECT_EQ(StopCapture(camera_), STATUS_INSUFFICIENT_RESOURCES);
    platform::verifier::ClearFaults();
    EXPECT_EQ(filter.AbortsSeen(), 3);
    EXPECT_EQ(usb.pipe_active[0], 1);
    EXPECT_EQ(usb.pipe_active[2], 1);

    EXPECT_EQ(StopCapture(camera_), STATUS_SUCCESS);
    EXPECT_EQ(usb.pipe_active[0], 0);
    EXPECT_EQ(usb.pipe_active[2], 0);
    usb.lower_device = port_;
}

TEST_F(UsbConfigTest, AllocationFailuresDuringStartLeakNothing) {
    bool reached_end = false;
    for (uint64_t n = 1; n < 64 && !reached_end; ++n) {
        uint64_t injected = platform::verifier::InjectedFailures();
        platform::verifier::FailNthAllocation(n);
        NTSTATUS status = StartUsbDevice(&camera_->usb);
        reached_end = platform::verifier::InjectedFailures() == injected;
        platform::verifier::ClearFaults();
        if (reached_end) {
            EXPECT_EQ(status, STATUS_SUCCESS);
        } else {
            EXPECT_FALSE(NT_SUCCESS(status)) << "allocation " << n;
        }
        StopUsbDevice(&camera_->usb);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kUsbTag), 0u) << "allocation " << n;
    }
    EXPECT_TRUE(reached_end);
}

TEST_F(UsbConfigTest, PortIsResetOnlyWhenConnectedButNotEnabled) {
    Configure();
    struct Case {
        int64_t status;
        int resets;
    };
    for (Case c : {Case{0x3, 0}, Case{0x0, 0}, Case{0x2, 1}, Case{0x1, 0}}) {
        sim_.OverridePortStatus(c.status);
        int before = sim_.PortResets();
        ULONG seen = 0xFFFFFFFF;
        EXPECT_EQ(GetPortStatus(&camera_->usb, &seen), STATUS_SUCCESS);
        EXPECT_EQ(seen, (ULONG)c.status);
        RecoverPort(&camera_->usb);
        EXPECT_EQ(sim_.PortResets() - before, c.resets) << "status " << c.status;
    }
}

}  // namespace
