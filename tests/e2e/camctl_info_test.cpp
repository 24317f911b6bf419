// camctl info as a user runs it: the advertised format, the defaults, and a USB trace that tshark
// decodes with every command packet in it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/camctl_runner.h"
#include "tests/support/usb_trace.h"

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
    EXPECT_TRUE(Contains(run.out, "min 333333, max 333333, average 333333 (100 ns units)"))
        << run.out;
    // Each rate with its unit: the driver reports the bit rate in bits, dwBitRate in bytes.
    EXPECT_TRUE(Contains(run.out, "frame rate        30.00 frames/s")) << run.out;
    EXPECT_TRUE(Contains(run.out, "min 1843200000 bit/s, max 1843200000 bit/s")) << run.out;
    EXPECT_TRUE(Contains(run.out, "dwBitRate         230400000 byte/s")) << run.out;
    for (const char* line :
         {"Timeout           3000", "RedGain           128", "Contrast          10",
          "Saturation        10", "Brightness        255", "ColorEnable       1",
          "ColorCorrection   1", "Hue               0", "RoiW              1600"}) {
        EXPECT_TRUE(Contains(run.out, line)) << line << "\n" << run.out;
    }
}

TEST(CamctlInfoTest, TheUsbTraceDecodesWithEveryCommandPacket) {
    if (!camtest::HasCommand("tshark"))
        GTEST_SKIP() << "tshark is not installed";
    camtest::ScratchDir dir;
    const camtest::CamctlResult run = RunCamctl(dir, "info --usb-trace info.pcap");
    ASSERT_EQ(run.status, 0) << run.err;
    bool decoded = false;
    const std::vector<camtest::PacketBytes> packets =
        camtest::TraceCommandPackets(dir, dir.File("info.pcap"), &decoded);
    EXPECT_TRUE(decoded);
    // The wake-up packet, the 690 register writes of the program, the settings load (the clock
    // query, eight register writes and the trigger item) and the clock query of the settings
    // printed.
    size_t wake = 0;
    size_t queries = 0;
    for (const camtest::PacketBytes& packet : packets) {
        wake += packet[0] == 0x06;
        queries += packet[0] == 0x26;
    }
    EXPECT_EQ(wake, 1u);
    EXPECT_EQ(queries, 2u);
    EXPECT_EQ(camtest::RegisterWrites(packets).size(), 698u);
    EXPECT_EQ(packets.size(), 702u);
}

}  // namespace
