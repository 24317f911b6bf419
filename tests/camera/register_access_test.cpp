// Sensor register writes, the register shadow, camera items, memory reads and raw commands, as
// the camera receives them.
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "camera/camera_commands.h"
#include "platform/verifier.h"
#include "sim/device_memory.h"
#include "tests/support/rig_test.h"
#include "usb/usb_transport.h"

namespace {

class RegisterAccessTest : public camtest::UsbRigTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(UsbRigTest::SetUp());
        Configure();
    }

    std::vector<uint8_t> LastCommandPrefix(size_t length) {
        auto commands = sim().records().Commands();
        EXPECT_FALSE(commands.empty());
        if (commands.empty()) {
            return {};
        }
        return std::vector<uint8_t>(commands.back().begin(), commands.back().begin() + length);
    }
    void ExpectRestZero(size_t from) {
        auto commands = sim().records().Commands();
        ASSERT_FALSE(commands.empty());
        for (size_t i = from; i < kPacketSize; ++i) {
            EXPECT_EQ(commands.back()[i], 0) << "byte " << i;
        }
    }
};

TEST_F(RegisterAccessTest, RegisterPacketsCarryTheSerialFrame) {
    struct Case {
        ULONG number;
        LONG value;
        std::vector<uint8_t> bytes;
    };
    for (const Case& c : {Case{158, 36, {0x04, 0x10, 0x9E, 0x90, 0x00, 0x00}},
                          Case{390, 1252, {0x04, 0x20, 0x86, 0x91, 0x13, 0x00}},
                          Case{0, 63, {0x04, 0x10, 0x00, 0xFC, 0x00, 0x00}},
                          Case{300, 0x12345, {0x04, 0x1A, 0x2C, 0x15, 0x8D, 0x00}},
                          Case{1024, 5, {0x04, 0x20, 0x00, 0x14, 0x00, 0x00}}}) {
        ASSERT_TRUE(WriteSensorRegister(camera(), c.number, c.value)) << c.number;
        EXPECT_EQ(LastCommandPrefix(6), c.bytes) << c.number;
        ExpectRestZero(6);
    }
    EXPECT_EQ(sim().state().registers[158], 36u);
    EXPECT_EQ(sim().state().registers[390], 1252u);
}

TEST_F(RegisterAccessTest, ShadowKeepsTheUnmaskedValue) {
    ASSERT_TRUE(WriteSensorRegister(camera(), 5, 0x7F));
    EXPECT_EQ(sim().state().registers[5], 0x3Fu);
    LONG value = 0;
    EXPECT_TRUE(GetRegisterShadow(camera(), 5, &value));
    EXPECT_EQ(value, 0x7F);

    // 1024 goes out as register 0 and leaves the shadow alone.
    ASSERT_TRUE(WriteSensorRegister(camera(), 1024, 9));
    EXPECT_TRUE(GetRegisterShadow(camera(), 0, &value));
    EXPECT_EQ(value, 0);
    value = 77;
    EXPECT_FALSE(GetRegisterShadow(camera(), 1024, &value));
    EXPECT_EQ(value, 0);

    // A write that fails on the wire still updates the shadow.
    sim().SetFaults({.command = {.next = {1, sim::TransferFault::kError}}});
    EXPECT_FALSE(WriteSensorRegister(camera(), 1023, 0x1234));
    EXPECT_TRUE(GetRegisterShadow(camera(), 1023, &value));
    EXPECT_EQ(value, 0x1234);
}

TEST_F(RegisterAccessTest, ItemsAreSetAndQueried) {
    ASSERT_TRUE(SetCameraItem(camera(), 11, 1));
    EXPECT_EQ(LastCommandPrefix(3), (std::vector<uint8_t>{0x25, 11, 1}));
    ExpectRestZero(3);
    EXPECT_EQ(sim().state().items[11], 1);

    sim().SetClockSetting(0x5A);
    LONG value = -1;
    ASSERT_TRUE(QueryCameraItem(camera(), 15, &value));
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(LastCommandPrefix(2), (std::vector<uint8_t>{0x26, 15}));
    ExpectRestZero(2);

    // A short second reply fails the query and leaves the result alone.
    sim().SetFaults({.reply = {.next = {2, sim::TransferFault::kShort}}});
    value = -1;
    EXPECT_FALSE(QueryCameraItem(camera(), 15, &value));
    EXPECT_EQ(value, -1);
}

TEST_F(RegisterAccessTest, MemoryReadAddressesRegisterIndex) {
    // Inside the camera's memory, and beyond it, where it reads as 0xFF.
    for (uint32_t address : {0x0ABCu, 0x0001u, 0x1234u}) {
        camera()->register_index = (LONG)address;
        UCHAR expected = sim::DeviceMemoryByte(address);
        UCHAR value = (UCHAR)~expected;
        ReadCameraMemory(camera(), &value);
        EXPECT_EQ(LastCommandPrefix(6),
                  (std::vector<uint8_t>{0x41, 0x51, 0x02, 0x01, (uint8_t)(address >> 8),
                                        (uint8_t)address}));
        ExpectRestZero(6);
        EXPECT_EQ(value, expected) << "address " << address;
    }
    ReadCameraMemory(camera(), nullptr);

    // The same read, which changed this very value above, leaves it alone when its reply fails.
    camera()->register_index = 0x0ABC;
    const UCHAR untouched = (UCHAR)~sim::DeviceMemoryByte(0x0ABC);
    sim().SetFaults({.reply = {.next = {1, sim::TransferFault::kError}}});
    UCHAR value = untouched;
    ReadCameraMemory(camera(), &value);
    EXPECT_EQ(value, untouched);
}

// Whatever becomes of the first of the two reply packets, both are taken, so the next query gets
// its own answer and not the one left over from the failed exchange.
TEST_F(RegisterAccessTest, AFailedFirstReplyStillTakesBothPacketsOfTheAnswer) {
    struct Fault {
        const char* name;
        void (*inject)(camtest::ProbedCamera& camera);
    };
    const Fault faults[] = {
        {"short",
         [](camtest::ProbedCamera& c) {
             c.SetFaults({.reply = {.next = {1, sim::TransferFault::kShort}}});
         }},
        {"failed",
         [](camtest::ProbedCamera& c) {
             c.SetFaults({.reply = {.next = {1, sim::TransferFault::kError}}});
         }},
        {"stalled", [](camtest::ProbedCamera& c) { c.SetFaults({.reply = {.stalled = true}}); }},
    };
    const ULONG address = 0x0ABC;
    const UCHAR memory_byte = sim::DeviceMemoryByte(address);
    camera()->register_index = (LONG)address;
    sim().SetClockSetting(7);
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        fault.inject(sim());
        LONG value = -1;
        EXPECT_FALSE(QueryCameraItem(camera(), 15, &value));
        EXPECT_EQ(value, -1);
        ResetPipe(&camera()->usb, &camera()->usb.interface_info->Pipes[kReplyPipe]);
        EXPECT_TRUE(QueryCameraItem(camera(), 15, &value));
        EXPECT_EQ(value, 7);

        fault.inject(sim());
        UCHAR byte = (UCHAR)~memory_byte;
        ReadCameraMemory(camera(), &byte);
        EXPECT_EQ(byte, (UCHAR)~memory_byte);
        ResetPipe(&camera()->usb, &camera()->usb.interface_info->Pipes[kReplyPipe]);
        ReadCameraMemory(camera(), &byte);
        EXPECT_EQ(byte, memory_byte);
    }
}

// A reply the camera withholds ends its query at the time-out, releasing the command lock for
// other threads, and one it sends after that is dropped rather than taken as the next answer.
TEST_F(RegisterAccessTest, WithheldAndLateRepliesEndTheQueryAndAreNotTakenForTheNext) {
    frame_timeout_ms = 200;
    sim().SetClockSetting(7);
    for (sim::ReplyFault kind : {sim::ReplyFault::kWithheld, sim::ReplyFault::kLate}) {
        SCOPED_TRACE((int)kind);
        sim().SetFaults({.replies = {{.kind = kind, .delay_ms = 50}}});
        LONG value = -1;
        EXPECT_FALSE(QueryCameraItem(camera(), 15, &value));
        EXPECT_EQ(value, -1);
        std::thread other([&] {
            for (int i = 0; i < 2; ++i) {
                LONG answer = -1;
                EXPECT_TRUE(QueryCameraItem(camera(), 15, &answer));
                EXPECT_EQ(answer, 7);
            }
        });
        other.join();
    }
}

// An exchange whose reply read never reached the bus (no pool for it) leaves that reply with the
// camera; it must not be taken for the answer of the next exchange.
TEST_F(RegisterAccessTest, AnAllocationFailureInAnExchangeLeavesNoReplyForTheNext) {
    const ULONG address = 0x0ABC;
    const UCHAR memory_byte = sim::DeviceMemoryByte(address);
    camera()->register_index = (LONG)address;
    sim().SetClockSetting(7);
    struct Exchange {
        const char* name;
        std::function<void(CameraContext*)> run;
    };
    const Exchange exchanges[] = {
        {"query",
         [](CameraContext* c) {
             LONG v = 0;
             QueryCameraItem(c, 15, &v);
         }},
        {"memory read",
         [](CameraContext* c) {
             UCHAR b = 0;
             ReadCameraMemory(c, &b);
         }},
    };
    for (const Exchange& exchange : exchanges) {
        SCOPED_TRACE(exchange.name);
        const uint64_t mark = platform::verifier::AllocationMark();
        exchange.run(camera());
        const uint64_t allocations = platform::verifier::AllocationMark() - mark;
        ASSERT_GT(allocations, 0u);
        for (uint64_t n = 1; n <= allocations; ++n) {
            platform::verifier::FailNthAllocation(n);
            exchange.run(camera());
            platform::verifier::ClearFaults();
            LONG value = -1;
            EXPECT_TRUE(QueryCameraItem(camera(), 15, &value)) << "allocation " << n;
            EXPECT_EQ(value, 7) << "allocation " << n;
            UCHAR byte = (UCHAR)~memory_byte;
            ReadCameraMemory(camera(), &byte);
            EXPECT_EQ(byte, memory_byte) << "allocation " << n;
        }
    }
}

TEST_F(RegisterAccessTest, RawCommandsCarryAtMost63CallerBytes) {
    UCHAR bytes[100];
    for (int i = 0; i < 100; ++i) {
        bytes[i] = (UCHAR)(i + 1);
    }
    ASSERT_TRUE(SendRawCommand(camera(), 0, bytes));
    ASSERT_TRUE(SendRawCommand(camera(), -5, bytes));
    ASSERT_TRUE(SendRawCommand(camera(), 100, bytes));
    ASSERT_TRUE(SendRawCommand(camera(), 3, bytes));
    auto raw = sim().records().RawCommands();
    ASSERT_EQ(raw.size(), 4u);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(raw[k][0], 0x40);
        for (size_t i = 1; i < kPacketSize; ++i) {
            EXPECT_EQ(raw[k][i], 0) << "packet " << k << " byte " << i;
        }
    }
    for (size_t i = 1; i < kPacketSize; ++i) {
        EXPECT_EQ(raw[2][i], i) << "byte " << i;
        EXPECT_EQ(raw[3][i], i <= 3 ? i : 0) << "byte " << i;
    }
}

}  // namespace
