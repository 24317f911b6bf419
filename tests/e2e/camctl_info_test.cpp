// camctl info as a user runs it: the advertised format, the defaults, and a USB trace that tshark
// decodes with every command packet in it.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

#include "tests/support/scratch_dir.h"

namespace {

struct CommandResult {
    int status = -1;
    std::string output;
};

CommandResult RunCommand(const std::string& command) {
    CommandResult run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return run;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        run.output.append(buffer.data(), n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CamctlInfoTest, PrintsTheFullSensorFormatAndTheDefaults) {
    CommandResult run = RunCommand(CAMCTL_PATH " info");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "1600 x 1200")) << run.output;
    EXPECT_TRUE(Contains(run.output, "SampleSize        7680000")) << run.output;
    EXPECT_TRUE(Contains(run.output, "min 333333, max 333333, average 333333")) << run.output;
    EXPECT_TRUE(Contains(run.output, "min 1843200000, max 1843200000")) << run.output;
    for (const char* line :
         {"Timeout           3000", "RedGain           128", "Contrast          10",
          "Saturation        10", "Brightness        255", "ColorEnable       1",
          "ColorCorrection   1", "Hue               0", "OutputWidth       1600"}) {
        EXPECT_TRUE(Contains(run.output, line)) << line << "\n" << run.output;
    }
}

TEST(CamctlInfoTest, RejectsUnknownCommandsAndArguments) {
    EXPECT_NE(RunCommand(CAMCTL_PATH " frobnicate").status, 0);
    EXPECT_NE(RunCommand(CAMCTL_PATH " info extra").status, 0);
    EXPECT_NE(RunCommand(CAMCTL_PATH " --registry settings.reg info").status, 0);
    EXPECT_NE(RunCommand(CAMCTL_PATH " info --usb-trace").status, 0);
    CommandResult bad_scene = RunCommand(CAMCTL_PATH " --scene /nonexistent.png info");
    EXPECT_NE(bad_scene.status, 0);
    EXPECT_TRUE(Contains(bad_scene.output, "/nonexistent.png")) << bad_scene.output;
}

TEST(CamctlInfoTest, TheUsbTraceDecodesWithEveryCommandPacket) {
    if (RunCommand("command -v tshark").status != 0)
        GTEST_SKIP() << "tshark is not installed";
    camtest::ScratchDir dir;
    const std::string trace = dir.File("info.pcap");
    CommandResult run = RunCommand(std::string(CAMCTL_PATH " info --usb-trace ") + trace);
    ASSERT_EQ(run.status, 0) << run.output;
    CommandResult decoded = RunCommand("tshark -r " + trace);
    EXPECT_EQ(decoded.status, 0) << decoded.output;
    EXPECT_FALSE(Contains(decoded.output, "Malformed")) << decoded.output;
    // The wake-up packet, the 690 register writes of the program and the settings load (the clock
    // query, eight register writes and the trigger item): 64 bytes each on the command endpoint.
    CommandResult commands =
        RunCommand("tshark -r " + trace +
                   " -Y 'usb.endpoint_address == 0x01 && usb.urb_type == 83 && "
                   "usb.data_len == 64' -T fields -e usb.capdata");
    ASSERT_EQ(commands.status, 0) << commands.output;
    size_t packets = 0;
    size_t wake = 0;
    size_t writes = 0;
    size_t start = 0;
    const std::string& out = commands.output;
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
