// The pcap trace of a port: our own reading of the records, and tshark's when it is installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fake_device.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/urb_requests.h"

namespace {

using camtest::BuildBulk;
using camtest::BuildPipeRequest;
using camtest::Request;
using camtest::Send;
using camtest::SendAndWait;

struct Packet {
    uint64_t id;
    char type;
    uint8_t transfer_type;
    uint8_t endpoint;
    uint8_t flag_setup;
    uint8_t flag_data;
    int32_t status;
    uint32_t length;
    uint32_t captured;
    uint8_t setup[8];
    std::vector<uint8_t> data;
};

template <typename T>
T Get(const std::vector<uint8_t>& bytes, size_t at) {
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof(T));
    return value;
}

// Reads a whole trace file; fails the test on a malformed header or record.
std::vector<Packet> ReadTrace(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    std::vector<Packet> packets;
    EXPECT_GE(bytes.size(), 24u);
    if (bytes.size() < 24)
        return packets;
    EXPECT_EQ(Get<uint32_t>(bytes, 0), 0xa1b2c3d4u);
    EXPECT_EQ(Get<uint16_t>(bytes, 4), 2);
    EXPECT_EQ(Get<uint16_t>(bytes, 6), 4);
    EXPECT_EQ(Get<uint32_t>(bytes, 20), 220u);
    size_t at = 24;
    while (at < bytes.size()) {
        EXPECT_LE(at + 16 + 64, bytes.size());
        if (at + 16 + 64 > bytes.size())
            break;
        uint32_t included = Get<uint32_t>(bytes, at + 8);
        EXPECT_EQ(Get<uint32_t>(bytes, at + 12), included);
        size_t h = at + 16;
        Packet p;
        p.id = Get<uint64_t>(bytes, h);
        p.type = (char)bytes[h + 8];
        p.transfer_type = bytes[h + 9];
        p.endpoint = bytes[h + 10];
        p.flag_setup = bytes[h + 14];
        p.flag_data = bytes[h + 15];
        p.status = Get<int32_t>(bytes, h + 28);
        p.length = Get<uint32_t>(bytes, h + 32);
        p.captured = Get<uint32_t>(bytes, h + 36);
        std::memcpy(p.setup, bytes.data() + h + 40, 8);
        EXPECT_EQ(included, 64 + p.captured);
        if (at + 16 + included > bytes.size()) {
            ADD_FAILURE() << "record runs past the end of the file";
            break;
        }
        p.data.assign(bytes.begin() + h + 64, bytes.begin() + h + included);
        packets.push_back(p);
        at += 16 + included;
    }
    return packets;
}

// Plugs a device in and runs a session touching every kind of record, traced into `path`.
void RecordSession(usbtest::FakeDevice* device, const std::string& path) {
    PDEVICE_OBJECT port = platform::UsbBusPlugIn(device);
    EXPECT_TRUE(platform::UsbBusSetTrace(port, path));

    URB urb{};
    uint8_t device_descriptor[18];
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device_descriptor, nullptr, 18,
                                 nullptr);
    EXPECT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_SUCCESS);

    auto* configuration =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device->configuration.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    PURB select = USBD_CreateConfigurationRequestEx(configuration, list);
    EXPECT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, select), STATUS_SUCCESS);
    USBD_PIPE_HANDLE out_pipe = list[0].Interface->Pipes[0].PipeHandle;
    USBD_PIPE_HANDLE in_pipe = list[0].Interface->Pipes[1].PipeHandle;

    uint8_t command[64] = {0x02};
    BuildBulk(&urb, out_pipe, false, command, 64);
    EXPECT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_SUCCESS);

    std::vector<uint8_t> reply(64, 0x5A);
    device->link->SendIn(0x81, reply.data(), 64);
    uint8_t answer[64];
    BuildBulk(&urb, in_pipe, true, answer, 64);
    EXPECT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_SUCCESS);

    // A frame-sized piece, then one that is aborted.
    std::vector<uint8_t> piece(65536, 0x11);
    std::vector<uint8_t> frame(65536);
    device->link->SendIn(0x81, piece.data(), (uint32_t)piece.size());
    BuildBulk(&urb, in_pipe, true, frame.data(), 65536);
    EXPECT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_SUCCESS);
    Request pending;
    URB waiting;
    BuildBulk(&waiting, in_pipe, true, frame.data(), 512);
    Send(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &waiting, &pending);
    URB abort;
    BuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, in_pipe);
    EXPECT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &abort), STATUS_SUCCESS);
    EXPECT_TRUE(pending.Wait(2000));

    BuildPipeRequest(&urb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, in_pipe);
    EXPECT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_SUCCESS);

    EXPECT_TRUE(platform::UsbBusSetTrace(port, ""));
    // Nothing after the trace stopped is written.
    BuildBulk(&urb, out_pipe, false, command, 64);
    EXPECT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_SUCCESS);
    platform::UsbBusUnplug(port);
    ExFreePool(select);
}

TEST(UsbTraceTest, RecordsPairSubmissionsWithCompletionsAndCarryTheirData) {
    usbtest::FakeDevice device;
    camtest::ScratchDir dir;
    RecordSession(&device, dir.File("bus_trace.pcap"));
    std::vector<Packet> packets = ReadTrace(dir.File("bus_trace.pcap"));
    // Descriptor, configuration, OUT, IN, 64 KiB IN, aborted IN, reset: each submitted and
    // completed.
    ASSERT_EQ(packets.size(), 14u);
    for (size_t i = 0; i < packets.size(); i += 2) {
        EXPECT_EQ(packets[i].type, 'S') << i;
        EXPECT_EQ(packets[i].status, -115) << i;  // in progress
    }
    for (size_t i : {1u, 3u, 5u, 7u, 9u, 13u}) {
        EXPECT_EQ(packets[i].type, 'C') << i;
        EXPECT_EQ(packets[i].id, packets[i - 1].id) << i;
        EXPECT_EQ(packets[i].status, 0) << i;
    }

    const Packet& get_descriptor = packets[0];
    EXPECT_EQ(get_descriptor.transfer_type, 2);  // control
    EXPECT_EQ(get_descriptor.endpoint, 0x80);
    EXPECT_EQ(get_descriptor.flag_setup, 0);
    const uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0};
    EXPECT_EQ(0, memcmp(get_descriptor.setup, setup, 8));
    EXPECT_EQ(packets[1].data.size(), 18u);
    EXPECT_EQ(packets[1].data[1], USB_DEVICE_DESCRIPTOR_TYPE);

    const Packet& set_configuration = packets[2];
    EXPECT_EQ(set_configuration.endpoint, 0x00);
    EXPECT_EQ(set_configuration.setup[1], 0x09);
    EXPECT_EQ(set_configuration.setup[2], 1);

    // OUT data goes with the submission, IN data with the completion.
    EXPECT_EQ(packets[4].transfer_type, 3);  // bulk
    EXPECT_EQ(packets[4].endpoint, 0x01);
    EXPECT_EQ(packets[4].data.size(), 64u);
    EXPECT_EQ(packets[4].data[0], 0x02);
    EXPECT_TRUE(packets[5].data.empty());
    EXPECT_EQ(packets[5].length, 64u);
    EXPECT_EQ(packets[6].endpoint, 0x81);
    EXPECT_TRUE(packets[6].data.empty());
    EXPECT_EQ(packets[6].flag_data, '<');
    EXPECT_EQ(packets[7].data, std::vector<uint8_t>(64, 0x5A));
    EXPECT_EQ(packets[9].data.size(), 65536u);

    // The aborted transfer: its completion says it was unlinked.
    EXPECT_EQ(packets[10].length, 512u);
    EXPECT_EQ(packets[11].type, 'C');
    EXPECT_EQ(packets[11].id, packets[10].id);
    EXPECT_EQ(packets[11].status, -2);
    EXPECT_EQ(packets[11].length, 0u);

    // Clearing the halt of endpoint 0x81.
    EXPECT_EQ(packets[12].transfer_type, 2);
    const uint8_t clear_halt[8] = {0x02, 0x01, 0, 0, 0x81, 0, 0, 0};
    EXPECT_EQ(0, memcmp(packets[12].setup, clear_halt, 8));
}

TEST(UsbTraceTest, TsharkDecodesEveryPacket) {
    if (std::system("tshark --version > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed";
    }
    usbtest::FakeDevice device;
    camtest::ScratchDir dir;
    const std::string path = dir.File("bus_trace.pcap");
    RecordSession(&device, path);
    std::string listing = path + ".txt";
    std::string errors = path + ".err";
    std::string command = "tshark -r '" + path + "' > '" + listing + "' 2> '" + errors + "'";
    int status = std::system(command.c_str());
    std::ifstream file(listing);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    std::ifstream error_file(errors);
    std::string error_text((std::istreambuf_iterator<char>(error_file)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(error_text.find("alformed"), std::string::npos) << error_text;
    EXPECT_EQ(error_text.find("appears to"), std::string::npos) << error_text;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines.size(), 14u);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("alformed"), std::string::npos) << line;
        EXPECT_EQ(line.find("rror"), std::string::npos) << line;
        EXPECT_NE(line.find("USB"), std::string::npos) << line;
    }
}

TEST(UsbTraceTest, UnwritablePathIsRefused) {
    usbtest::FakeDevice device;
    PDEVICE_OBJECT port = platform::UsbBusPlugIn(&device);
    EXPECT_FALSE(platform::UsbBusSetTrace(port, "/nonexistent-directory/trace.pcap"));
    platform::UsbBusUnplug(port);
}

// A file that opens but takes no bytes: the loss shows when the trace ends.
TEST(UsbTraceTest, FailedWritesAreReportedWhenTheTraceEnds) {
    usbtest::FakeDevice device;
    PDEVICE_OBJECT port = platform::UsbBusPlugIn(&device);
    ASSERT_TRUE(platform::UsbBusSetTrace(port, "/dev/full"));
    URB urb{};
    uint8_t descriptor[18];
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, nullptr, 18,
                                 nullptr);
    EXPECT_EQ(SendAndWait(port, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_SUCCESS);
    EXPECT_FALSE(platform::UsbBusSetTrace(port, ""));
    // The next trace starts with a clean record.
    camtest::ScratchDir dir;
    ASSERT_TRUE(platform::UsbBusSetTrace(port, dir.File("after_full.pcap")));
    EXPECT_TRUE(platform::UsbBusSetTrace(port, ""));
    platform::UsbBusUnplug(port);
}

}  // namespace
