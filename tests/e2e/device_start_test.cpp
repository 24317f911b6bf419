// A client's view of device start and stop with the simulated camera plugged in: the USB device is
// configured, the camera woken, programmed and given its persisted settings, and the configuration
// released at stop.
#include <gtest/gtest.h>

#include <vector>

#include "camera/capture_setup.h"
#include "driver/pool_tags.h"
#include "platform/ks_host.h"
#include "platform/verifier.h"
#include "tests/support/rig_test.h"

namespace {

using DeviceStartTest = camtest::UsbRigTest;

// The registers a settings load writes, in order: exposure, global gain, then the trigger's two.
const std::vector<uint32_t> kLoadRegisters = {158, 159, 161, 162, 6, 7, 32, 33};

std::vector<uint32_t> RegisterNumbers(const std::vector<sim::RegisterWrite>& writes, size_t from) {
    std::vector<uint32_t> numbers;
    for (size_t i = from; i < writes.size(); ++i)
        numbers.push_back(writes[i].number);
    return numbers;
}

TEST_F(DeviceStartTest, StartConfiguresWakesProgramsAndLoadsTheCameraAndStopReleasesIt) {
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(rig_.device()->Started);
    ASSERT_NE(camera()->usb.interface_info, nullptr);
    EXPECT_EQ(camera()->usb.interface_info->NumberOfPipes, 3u);
    EXPECT_NE(sim().state().configuration, 0);
    EXPECT_TRUE(sim().state().awake);
    std::vector<sim::Packet> commands = sim().records().Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands[0][0], 0x06);
    for (size_t i = 1; i < 64; ++i)
        EXPECT_EQ(commands[0][i], 0) << i;
    // The program, then the settings, with the exposure of an empty registry.
    std::vector<sim::RegisterWrite> writes = sim().records().RegisterWrites();
    ASSERT_EQ(writes.size(), kRegisterProgramLength + kLoadRegisters.size());
    for (ULONG i = 0; i < kRegisterProgramLength; ++i)
        ASSERT_EQ(writes[i].number, RegisterProgramWrite(i).number) << i;
    EXPECT_EQ(RegisterNumbers(writes, kRegisterProgramLength), kLoadRegisters);
    EXPECT_EQ(sim().state().registers[158], 2u);
    EXPECT_EQ(camera()->startup_sequence_count, 1);
    EXPECT_EQ(platform::ks::FilterFactories(rig_.device()).size(), 1u);

    rig_.Stop();
    EXPECT_EQ(camera()->usb.interface_info, nullptr);
    EXPECT_EQ(camera()->usb.configuration_descriptor, nullptr);
    EXPECT_EQ(sim().state().configuration, 0);
    EXPECT_TRUE(platform::ks::FilterFactories(rig_.device()).empty());
}

TEST_F(DeviceStartTest, ASecondStartOfAStartedDeviceRegistersNoSecondFilter) {
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(rig_.device()->Started);
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    EXPECT_EQ(platform::ks::FilterFactories(rig_.device()).size(), 1u);
    rig_.Stop();
}

TEST_F(DeviceStartTest, ARestartWakesTheCameraAndLoadsItsSettingsWithoutAThirdProgramRun) {
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    rig_.Stop();
    sim().records().Clear();
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    // The second of the two runs.
    EXPECT_EQ(sim().records().RegisterWrites().size(),
              kRegisterProgramLength + kLoadRegisters.size());
    rig_.Stop();
    sim().records().Clear();
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    rig_.Stop();
    EXPECT_EQ(RegisterNumbers(sim().records().RegisterWrites(), 0), kLoadRegisters);
    std::vector<uint8_t> codes;
    for (const sim::Packet& packet : sim().records().Commands())
        codes.push_back(packet[0]);
    EXPECT_EQ(codes, (std::vector<uint8_t>{0x06, 0x26, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x25,
                                           0x04, 0x04}));
}

TEST_F(DeviceStartTest, StartReportsTheUsbStatusAndStillTriesTheCamera) {
    sim().SetFaults({.descriptors = sim::HostileDescriptors::kTotalLengthLong});
    NTSTATUS status = rig_.Start();
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_FALSE(rig_.device()->Started);
    // The factory is registered all the same: the class driver did not mark the device started.
    EXPECT_EQ(platform::ks::FilterFactories(rig_.device()).size(), 1u);
    EXPECT_EQ(camera()->usb.interface_info, nullptr);
    rig_.Stop();
}

// The device's worker cannot be made, or cannot be added to the device's bag: the start still
// reports the configuration, nothing is left behind, and the next start makes the worker.
TEST_F(DeviceStartTest, AWorkerThatCannotBeMadeOrKeptIsMadeByTheNextStart) {
    const ULONG kBagEntryTag = MakePoolTag("KsBg");  // the stand-in's bag entries
    for (ULONG tag : {kWorkerTag, kBagEntryTag}) {
        SCOPED_TRACE(platform::verifier::TagName(tag));
        platform::verifier::FailAllocationsWithTag(tag);
        EXPECT_EQ(rig_.Start(), STATUS_SUCCESS);
        platform::verifier::ClearFaults();
        EXPECT_EQ(camera()->worker, nullptr);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kWorkerTag), 0u);
        rig_.Stop();
        ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
        EXPECT_NE(camera()->worker, nullptr);
        rig_.Stop();
        rig_.Unplug();
        ASSERT_EQ(rig_.Plug(), STATUS_SUCCESS);
    }
}

}  // namespace
