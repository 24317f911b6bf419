// camctl info as a user runs it: the advertised format, the defaults, and a USB trace that tshark
// decodes with every command packet in it.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/camctl_runner.h"

namespace {

using camtest::RunCamctl;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CamctlInfoTest, PrintsTheFullSensorFormatAndTheDefaults) {
    camtest::ScratchDir dir;
    const camtest::CamctlResult run = RunCamctl(dir, "info");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "1600 x 1200")) << run.out;
    EXPECT_TRUE(Contains(run.out, "SampleSize        7680000")) << run.out;
    EXPECT_TRUE(Contains(run.out, "min 333333, max 333333, average 333333")) << run.out;
    EXPECT_TRUE(Contains(run.out, "min 1843200000, max 1843200000")) << run.out;
    for (const char* line :
         {"Timeout           3000", "RedGain           128", "Contrast          10",
          "Saturation        10", "Brightness        255", "ColorEnable       1",
          "ColorCorrection   1", "Hue               0", "OutputWidth       1600"}) {
        EXPECT_TRUE(Contains(run.out, line)) << line << "\n" << run.out;
    }
}

TEST(CamctlInfoTest, TheUsbTraceDecodesWithEveryCommandPacket) {
    if (!camtest::HasCommand("tshark"))
        GTEST_SKIP() << "tshark is not installed";
    camtest::ScratchDir dir;
    const camtest::CamctlResult run = RunCamctl(dir, "info --usb-trace info.pcap");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string trace = dir.File("info.pcap");
    const camtest::CamctlResult decoded = camtest::RunInFolder(dir, "tshark -r " + trace);
    EXPECT_EQ(decoded.status, 0) << decoded.out;
    EXPECT_FALSE(Contains(decoded.out, "Malformed")) << decoded.out;
    // The wake-up packet, the 690 register writes of the program and the settings load (the clock
    // query, eight register writes and the trigger item): 64 bytes each on the command endpoint.
    const camtest::CamctlResult commands =
        camtest::RunInFolder(dir, "tshark -r " + trace +
                                      " -Y 'usb.endpoint_address == 0x01 && usb.urb_type == 83 "
                                      "&& usb.data_len == 64' -T fields -e usb.capdata");
    ASSERT_EQ(commands.status, 0) << commands.out;
    size_t packets = 0;
    size_t wake = 0;
    size_t writes = 0;
    size_t start = 0;
    const std::string& out = commands.out;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        std::string line = out.substr(start, end - start);
        start = end + 1;
        if (line.rfind("Running as", 0) == 0 || line.empty())
            continue;
        ++packets;
        if (line.rfind("06", 0) == 0 || line.rfind("06:", 0) == 0)
            ++wake;
        if (line.rfind("04", 0) == 0)
            ++writes;
    }
    EXPECT_EQ(wake, 1u) << out;
    EXPECT_EQ(writes, 698u);
    EXPECT_EQ(packets, 701u);
}

}  // namespace
