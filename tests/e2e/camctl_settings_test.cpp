// camctl's settings commands as a user runs them: values that persist between runs in the
// registry file, hand-written files, register writes on the wire, the service items, and settings
// given to capture and info reaching the frames and the report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry_host.h"
#include "sim/device_memory.h"
#include "tests/support/camctl_runner.h"
#include "tests/support/settings_file.h"
#include "tests/support/usb_trace.h"

namespace {

using camtest::CamctlResult;
using camtest::RunCamctl;
using camtest::ScratchDir;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A registry file whose Settings key holds these value lines.
std::string SettingsFile(const std::vector<std::string>& lines) {
    std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n[" + camtest::SettingsKeyPath() + "]\r\n";
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

TEST(CamctlSettingsTest, SettingsPersistInTheConfigurationFolderBetweenRuns) {
    ScratchDir dir;
    const CamctlResult set = RunCamctl(dir, "set Brightness=600 Exposure=5000");
    ASSERT_EQ(set.status, 0) << set.err;
    const std::string file = dir.File("config/camctl/settings.reg");
    const auto written = std::filesystem::last_write_time(file);
    for (const char* names : {"Brightness Exposure", "brightness EXPOSURE"}) {
        const CamctlResult get = RunCamctl(dir, std::string("get ") + names);
        ASSERT_EQ(get.status, 0) << get.err;
        EXPECT_EQ(get.out, "Brightness=510\nExposure=1252\n") << names;
    }
    EXPECT_EQ(std::filesystem::last_write_time(file), written)
        << "a run that changes nothing wrote";
    const std::string stored = camtest::ReadText(file);
    EXPECT_TRUE(Contains(stored, "\"Brightness\"=dword:000001fe")) << stored;
    EXPECT_TRUE(Contains(stored, "\"Exposure\"=dword:000004e4")) << stored;
}

// set says what the driver kept where it is not what was asked, and why.
TEST(CamctlSettingsTest, SetSaysWhatTheDriverKeptAndWhy) {
    ScratchDir dir;
    const struct {
        const char* args;
        const char* out;
    } cases[] = {
        {"set Brightness=300", ""},
        {"set Brightness=99999", "Brightness=510 (asked 99999; range 0..510)\n"},
        // The driver takes the exposure as unsigned: -1 is past the top of the range.
        {"set Exposure=-1 Hue=40", "Exposure=1252 (asked -1; range 2..1252)\n"},
        {"set Timeout=100", "Timeout=3000 (kept: takes values above 500)\n"},
        {"set Timeout=0x1F5", ""},
        {"set AGC=1 AEC=1",
         "AGC=0 (kept: changes nothing on this camera)\n"
         "AEC=0 (kept: changes nothing on this camera)\n"},
        {"set Reserved47=5", "Reserved47 (changes nothing on this camera)\n"},
        {"set Reserved63=5", "Reserved63=0 (kept: changes nothing on this camera)\n"},
    };
    for (const auto& c : cases) {
        const CamctlResult run = RunCamctl(dir, c.args);
        ASSERT_EQ(run.status, 0) << c.args << "\n" << run.err;
        EXPECT_EQ(run.out, c.out) << c.args;
    }
    // Values still went to the driver, which clamped them.
    EXPECT_EQ(RunCamctl(dir, "get Brightness Hue Timeout").out,
              "Brightness=510\nHue=40\nTimeout=501\n");
}

// reset puts back what a camera starts with when nothing is stored: the named settings alone, or
// all of them, so that info reads as on a fresh installation.
TEST(CamctlSettingsTest, ResetPutsTheNamedSettingsOrAllBack) {
    ScratchDir fresh;
    const CamctlResult first_info = RunCamctl(fresh, "info");
    ASSERT_EQ(first_info.status, 0) << first_info.err;
    ScratchDir dir;
    ASSERT_EQ(RunCamctl(dir,
                        "set Brightness=100 Exposure=900 FlipH=1 WhiteBalance=1 "
                        "RedGain=300 Timeout=4000 GlobalGain=700")
                  .status,
              0);
    const CamctlResult named = RunCamctl(dir, "reset brightness FLIPH");
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.out, "FlipH=0\nBrightness=255\n");
    EXPECT_EQ(RunCamctl(dir, "get Brightness FlipH Exposure").out,
              "Brightness=255\nFlipH=0\nExposure=900\n");
    const CamctlResult all = RunCamctl(dir, "reset");
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 19) << all.out;
    const CamctlResult info = RunCamctl(dir, "info");
    EXPECT_EQ(info.out, first_info.out);
}

TEST(CamctlSettingsTest, AHandWrittenTimeoutAppliesOnlyAbove500) {
    const struct {
        const char* stored;
        const char* reported;
    } cases[] = {{"000001f4", "3000"}, {"000001f5", "501"}};
    ScratchDir dir;
    for (const auto& c : cases) {
        camtest::WriteText(dir.File("s.reg"),
                           SettingsFile({std::string("\"Timeout\"=dword:") + c.stored}));
        const CamctlResult get = RunCamctl(dir, "--registry s.reg get Timeout");
        ASSERT_EQ(get.status, 0) << get.err;
        EXPECT_EQ(get.Value("Timeout"), c.reported) << c.stored;
    }
}

// Runs at the same time, as a user starts them from several terminals, lose no update: a capture
// ending cannot bring back the value it started with, nor a set the value of another name it saw.
TEST(CamctlSettingsTest, RunsAtTheSameTimeLoseNoUpdate) {
    ScratchDir shared;
    const std::string registry = " --registry " + shared.File("settings.reg") + " ";
    ASSERT_EQ(RunCamctl(shared, registry + "reset").status, 0);
    const auto sets = [&](const std::string& name, int first) {
        ScratchDir own;
        for (int value = first; value < first + 8; ++value) {
            const CamctlResult run =
                RunCamctl(own, registry + "set " + name + "=" + std::to_string(value));
            EXPECT_EQ(run.status, 0) << run.err;
        }
    };
    std::thread brightness(sets, "Brightness", 100);
    std::thread hue(sets, "Hue", 20);
    ScratchDir own;
    const CamctlResult capture = RunCamctl(own, registry + "capture --count 40");
    brightness.join();
    hue.join();
    EXPECT_EQ(capture.status, 0) << capture.err;
    EXPECT_EQ(RunCamctl(shared, registry + "get Brightness Hue").out, "Brightness=107\nHue=27\n");
}

// A hand-written value of another type is read by its bytes, with a warning that says where.
TEST(CamctlSettingsTest, AValueOfAnotherTypeIsReadByItsBytesWithAWarning) {
    ScratchDir dir;
    camtest::WriteText(dir.File("s.reg"),
                       SettingsFile({"\"Hue\"=dword:00000005", "\"Contrast\"=hex:0f,00,00,00",
                                     "\"Saturation\"=hex(b):2d,00"}));
    const CamctlResult get = RunCamctl(dir, "--registry s.reg get Hue Contrast Saturation");
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.out, "Hue=5\nContrast=15\nSaturation=10\n");
    EXPECT_TRUE(Contains(get.err,
                         "warning: s.reg:5: value \"Contrast\" is a REG_BINARY, not a "
                         "REG_DWORD"))
        << get.err;
    EXPECT_TRUE(Contains(get.err, "s.reg:6: value \"Saturation\" is a REG_QWORD")) << get.err;
    EXPECT_FALSE(Contains(get.err, "\"Hue\"")) << get.err;
}

// Each service command's packets end the run's command traffic: stopping sends nothing.
TEST(CamctlSettingsTest, SetsAndServiceItemsReachTheWire) {
    if (!camtest::HasCommand("tshark"))
        GTEST_SKIP() << "tshark is not installed";
    using W = camtest::RegisterWrite;
    const std::vector<uint32_t> exposure_registers = {158, 159, 161, 162};
    const struct {
        const char* args;
        std::vector<uint32_t> registers;  // the registers looked at; empty: all
        std::vector<W> last_writes;       // the run's last writes to them
        std::vector<uint8_t> last_packet;
        size_t wakes = 1;  // start-up packets: the device start's, and one for each reinit
    } cases[] = {
        // The stored 1252 is programmed at start, then the set clamps 1 to 2.
        {"set Exposure=1",
         exposure_registers,
         {{158, 36}, {159, 19}, {161, 36}, {162, 19}, {158, 2}, {159, 0}, {161, 2}, {162, 0}},
         {}},
        {"reg write 6=0x7f 300=0x12345", {}, {{6, 0x3F}, {300, 0x2345}}, {}},
        {"raw-command 1 0x02 255", {}, {}, {0x40, 1, 2, 255, 0}},
        {"mem read 0x0123", {}, {}, {0x41, 0x51, 0x02, 0x01, 0x01, 0x23, 0}},
        // The start-up program again, then the stored exposure once more.
        {"reinit", exposure_registers, {{158, 36}, {159, 19}, {161, 36}, {162, 19}}, {}, 2},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        camtest::WriteText(dir.File("s.reg"), SettingsFile({"\"Exposure\"=dword:000004e4"}));
        const CamctlResult run =
            RunCamctl(dir, std::string("--registry s.reg --usb-trace t.pcap ") + c.args);
        ASSERT_EQ(run.status, 0) << c.args << "\n" << run.err;
        bool decoded = false;
        const std::vector<camtest::PacketBytes> packets =
            camtest::TraceCommandPackets(dir, dir.File("t.pcap"), &decoded);
        ASSERT_TRUE(decoded) << c.args;
        std::vector<W> writes;
        for (const W& write : camtest::RegisterWrites(packets)) {
            if (c.registers.empty() ||
                std::count(c.registers.begin(), c.registers.end(), write.number) != 0)
                writes.push_back(write);
        }
        if (!c.last_writes.empty()) {
            ASSERT_GE(writes.size(), c.last_writes.size());
            EXPECT_EQ(std::vector<W>(writes.end() - c.last_writes.size(), writes.end()),
                      c.last_writes)
                << c.args;
        }
        EXPECT_EQ(std::count_if(packets.begin(), packets.end(),
                                [](const camtest::PacketBytes& p) { return p[0] == 0x06; }),
                  (long)c.wakes)
            << c.args;
        if (!c.last_packet.empty()) {
            const camtest::PacketBytes& last = packets.back();
            EXPECT_TRUE(std::equal(c.last_packet.begin(), c.last_packet.end(), last.begin()))
                << c.args;
        }
    }
}

TEST(CamctlSettingsTest, ServiceItemsReportWhatTheCameraHolds) {
    ScratchDir dir;
    char memory[64];
    std::snprintf(memory, sizeof(memory), "0x0123=0x%02X\n0x0FFF=0x%02X\n",
                  sim::DeviceMemoryByte(0x123), sim::DeviceMemoryByte(0xFFF));
    const struct {
        const char* args;
        std::string out;
    } cases[] = {
        {"mem read 0x123 4095", memory},
        // What the start leaves: the trigger switched off over the program's 11 and 0.
        {"reg read 32 33", "32=27\n33=1\n"},
    };
    for (const auto& c : cases) {
        const CamctlResult run = RunCamctl(dir, c.args);
        ASSERT_EQ(run.status, 0) << c.args << "\n" << run.err;
        EXPECT_EQ(run.out, c.out) << c.args;
    }
}

TEST(CamctlSettingsTest, ListControlsShowsEveryItemWithItsRange) {
    ScratchDir dir;
    const CamctlResult run = RunCamctl(dir, "set Hue=400");
    ASSERT_EQ(run.status, 0) << run.err;
    const CamctlResult list = RunCamctl(dir, "list-ctrls");
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 70) << list.out;
    for (const char* row : {
             "  2  Exposure           get/set           2           2        1252           2\n",
             " 14  RedGain            get/set         128           1         512         128\n",
             " 32  Hue                get/set         359           0         359           0\n",
             " 44  ImageSize          set               -\n",
             " 68  Reserved68         get               0\n",
         }) {
        EXPECT_TRUE(Contains(list.out, row)) << row << list.out;
    }
}

double MeanSample(const std::string& path) {
    const std::string bytes = camtest::ReadText(path);
    if (bytes.empty())
        return 0;
    double sum = 0;
    for (unsigned char b : bytes)
        sum += b;
    return sum / bytes.size();
}

// The first stream start programs the sensor afresh; capture's settings are made after it, so a
// longer exposure shows as a brighter raw frame.
TEST(CamctlSettingsTest, CaptureAndInfoApplyTheirSettings) {
    ScratchDir dir;
    double means[2] = {};
    const char* exposures[2] = {"200", "1000"};
    for (int i = 0; i < 2; ++i) {
        const CamctlResult run =
            RunCamctl(dir, std::string("--scene flat:40 capture --count 1 --sensor-out s") +
                               exposures[i] + "/ --set exposure=" + exposures[i]);
        ASSERT_EQ(run.status, 0) << run.err;
        means[i] = MeanSample(dir.File(std::string("s") + exposures[i] + "/sensor0001.raw"));
    }
    EXPECT_GT(means[1], means[0] * 2) << means[0] << " " << means[1];

    const CamctlResult info = RunCamctl(dir, "info --set FlipV=1 --set hue=-1");
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(Contains(info.out, "  FlipV             1\n")) << info.out;
    EXPECT_TRUE(Contains(info.out, "  Hue               0\n")) << info.out;
    EXPECT_TRUE(Contains(info.out, "  Exposure          1000\n")) << info.out;
}

}  // namespace
