// Configuration of the camera's USB device, hostile descriptors, pipe and port recovery.
#include <gtest/gtest.h>

#include "camera/frame_read.h"
#include "platform/verifier.h"
#include "tests/support/rig_test.h"
#include "tests/usb/failing_filter.h"
#include "usb/pool_tags.h"
#include "usb/usb_transport.h"

namespace {

class UsbConfigTest : public camtest::UsbRigTest {};

TEST_F(UsbConfigTest, ConfiguresThreePipesAndReturnsToUnconfigured) {
    Configure();
    UsbDevice& usb = camera()->usb;
    ASSERT_NE(usb.configuration_descriptor, nullptr);
    ASSERT_NE(usb.interface_info, nullptr);
    ASSERT_NE(usb.pipe_active, nullptr);
    EXPECT_NE(sim().state().configuration, 0);
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
    {
        camtest::FailingFilter filter(&usb);
        EXPECT_EQ(StopCapture(camera()), STATUS_SUCCESS);
        EXPECT_EQ(filter.AbortsSeen(), 0);
        SetPipeActive(&usb, 2, 1);
        EXPECT_EQ(StopCapture(camera()), STATUS_SUCCESS);
        EXPECT_EQ(filter.AbortsSeen(), 1);
        EXPECT_EQ(usb.pipe_active[2], 0);
    }

    EXPECT_EQ(StopUsbDevice(&usb), STATUS_SUCCESS);
    EXPECT_EQ(usb.configuration_descriptor, nullptr);
    EXPECT_EQ(usb.interface_info, nullptr);
    EXPECT_EQ(usb.pipe_active, nullptr);
    EXPECT_EQ(sim().state().configuration, 0);
    EXPECT_EQ(platform::verifier::OutstandingBlocks(kUsbTag), 0u);
}

TEST_F(UsbConfigTest, ExtraAnnouncedInterfacesStillSelectInterfaceZero) {
    sim().SetFaults({.descriptors = sim::HostileDescriptors::kExtraInterfaces});
    Configure();
    ASSERT_NE(camera()->usb.interface_info, nullptr);
    EXPECT_EQ(camera()->usb.interface_info->InterfaceNumber, 0);
    EXPECT_EQ(camera()->usb.interface_info->NumberOfPipes, 3u);
}

TEST_F(UsbConfigTest, MalformedTotalLengthsAreRefusedWithoutLeaks) {
    for (auto kind :
         {sim::HostileDescriptors::kTotalLengthShort, sim::HostileDescriptors::kTotalLengthLong}) {
        sim().SetFaults({.descriptors = kind});
        EXPECT_EQ(StartUsbDevice(&camera()->usb), STATUS_DEVICE_DATA_ERROR) << (int)kind;
        EXPECT_EQ(camera()->usb.configuration_descriptor, nullptr);
        EXPECT_EQ(camera()->usb.interface_info, nullptr);
        EXPECT_EQ(sim().state().configuration, 0);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kUsbTag), 0u);
        ULONG moved = 0;
        UCHAR packet[kPacketSize] = {0x26, 15};
        EXPECT_EQ(BulkTransfer(camera(), kCommandPipe, kPacketSize, packet, &moved),
                  STATUS_UNSUCCESSFUL);
    }
}

TEST_F(UsbConfigTest, MalformedDescriptorsAndMissingPipesAreRefusedWithoutLeaks) {
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
        // The pipes are used by index: without a bulk OUT command pipe and bulk IN reply and frame
        // pipes, in that order, commands and reply reads would go where the camera has none.
        {"no pipes", sim::ConfigurationDescriptor(sim::HostileDescriptors::kNoPipes)},
        {"interrupt and isochronous pipes",
         sim::ConfigurationDescriptor(sim::HostileDescriptors::kWrongPipeTypes)},
        {"commands on an IN endpoint", with(endpoint_at + 2, 0x83)},
        {"replies on an OUT endpoint", with(endpoint_at + 7 + 2, 0x02)},
        {"frames on an OUT endpoint", with(endpoint_at + 14 + 2, 0x03)},
        {"replies on an address with reserved bits", with(endpoint_at + 7 + 2, 0xCB)},
        {"two pipes", with(interface_at + 4, 2)},
    };
    for (const Case& c : cases) {
        sim().OverrideConfiguration(c.bytes);
        EXPECT_EQ(StartUsbDevice(&camera()->usb), STATUS_DEVICE_DATA_ERROR) << c.what;
        EXPECT_EQ(camera()->usb.interface_info, nullptr) << c.what;
        EXPECT_EQ(sim().state().configuration, 0) << c.what;
        StopUsbDevice(&camera()->usb);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kUsbTag), 0u) << c.what;
    }
    sim().OverrideConfiguration({});
    Configure();
}

TEST_F(UsbConfigTest, AbortStopsEarlyOnlyWhenItsUrbCannotBeAllocated) {
    Configure();
    UsbDevice& usb = camera()->usb;
    camtest::FailingFilter filter(&usb);

    // A bus that fails the aborts: both pipes stay marked, both were tried, the stop succeeds.
    filter.FailPipeAborts(true);
    SetPipeActive(&usb, 0, 1);
    SetPipeActive(&usb, 2, 1);
    EXPECT_EQ(StopCapture(camera()), STATUS_SUCCESS);
    EXPECT_EQ(filter.AbortsSeen(), 2);
    EXPECT_EQ(usb.pipe_active[0], 1);
    EXPECT_EQ(usb.pipe_active[2], 1);
    filter.FailPipeAborts(false);

    // No carrier request for the first abort: that pipe stays marked, the next one is aborted.
    uint64_t injected = platform::verifier::InjectedFailures();
    platform::verifier::FailNthAllocation(2);
    EXPECT_EQ(StopCapture(camera()), STATUS_SUCCESS);
    platform::verifier::ClearFaults();
    EXPECT_EQ(platform::verifier::InjectedFailures() - injected, 1u);
    EXPECT_EQ(filter.AbortsSeen(), 3);
    EXPECT_EQ(usb.pipe_active[0], 1);
    EXPECT_EQ(usb.pipe_active[2], 0);

    // No URB for the first abort: the stop ends there, nothing is sent.
    SetPipeActive(&usb, 2, 1);
    platform::verifier::FailAllocationsWithTag(kUsbTag);
    EXPECT_EQ(StopCapture(camera()), STATUS_INSUFFICIENT_RESOURCES);
    platform::verifier::ClearFaults();
    EXPECT_EQ(filter.AbortsSeen(), 3);
    EXPECT_EQ(usb.pipe_active[0], 1);
    EXPECT_EQ(usb.pipe_active[2], 1);

    EXPECT_EQ(StopCapture(camera()), STATUS_SUCCESS);
    EXPECT_EQ(usb.pipe_active[0], 0);
    EXPECT_EQ(usb.pipe_active[2], 0);
}

TEST_F(UsbConfigTest, AllocationFailuresDuringStartLeakNothing) {
    bool reached_end = false;
    for (uint64_t n = 1; n < 64 && !reached_end; ++n) {
        uint64_t injected = platform::verifier::InjectedFailures();
        platform::verifier::FailNthAllocation(n);
        NTSTATUS status = StartUsbDevice(&camera()->usb);
        reached_end = platform::verifier::InjectedFailures() == injected;
        platform::verifier::ClearFaults();
        if (reached_end) {
            EXPECT_EQ(status, STATUS_SUCCESS);
        } else {
            EXPECT_FALSE(NT_SUCCESS(status)) << "allocation " << n;
        }
        StopUsbDevice(&camera()->usb);
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
        sim().OverridePortStatus(c.status);
        int before = sim().PortResets();
        ULONG seen = 0xFFFFFFFF;
        EXPECT_EQ(GetPortStatus(&camera()->usb, &seen), STATUS_SUCCESS);
        EXPECT_EQ(seen, (ULONG)c.status);
        RecoverPort(&camera()->usb);
        EXPECT_EQ(sim().PortResets() - before, c.resets) << "status " << c.status;
    }
}

}  // namespace
