// camctl's refusals: a usage error exits with 2 and names the valid choices, in every command; a
// failure exits with 1 and says what failed, and nothing is left half done.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/camctl_runner.h"

namespace {

using camtest::RunCamctl;
using camtest::ScratchDir;

struct Case {
    std::string args;
    std::string message;  // a part of what camctl says on standard error
};

void ExpectRefused(const ScratchDir& dir, const std::vector<Case>& cases, int status) {
    for (const Case& c : cases) {
        const camtest::CamctlResult run = RunCamctl(dir, c.args);
        EXPECT_EQ(run.status, status) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
    }
}

TEST(CamctlArgumentsTest, UsageErrorsExitWithTwoAndNameTheChoices) {
    ScratchDir dir;
    camtest::WriteText(dir.File("in.raw"), std::string(16 * 12, '\x40'));
    camtest::WriteText(dir.File("a-file"), "x");
    std::string sixty_four_bytes;
    for (int i = 0; i < 64; ++i)
        sixty_four_bytes += " 1";
    ExpectRefused(
        dir,
        {
            {"", "A subcommand is required"},
            {"frobnicate", "unknown command 'frobnicate'; the commands are capture, serve, info"},
            {"--scene chart frobnicate", "unknown command 'frobnicate'"},
            {"info extra", "extra"},
            {"--scene '' info", "chart (the default colour chart), flat, flat:LEVEL"},
            {"--scene bars info", "or a PNG file, not 'bars'"},
            {"--scene flat:300 info", "flat:LEVEL (0..255)"},
            {"info --usb-trace ''", "--usb-trace"},
            {"info --usb-trace", "--usb-trace"},
            {"--registry '' info", "--registry"},
            {"--link-speed fast capture", "or 'unlimited', not 'fast'"},
            {"capture --count 0", "--count"},
            {"capture --format jpg", "png"},
            {"capture --buffers 0", "--buffers"},
            {"capture --out 'f%d%d.png'", "exactly one integer conversion"},
            {"capture --out 'f%s.png'", "exactly one integer conversion"},
            {"capture --out a-file", "a-file is a file, not a folder"},
            {"capture --format raw --out .", "not a folder"},
            {"capture --format bmp --out 'f%d.png'", "end in .bmp"},
            {"capture --count 1 --format raw --out s.raw --sensor-out s.raw", "name the same file"},
            {"capture --sensor-out 's/frame%04d.png'", "end in .raw"},
            {"capture --out x.png --count 5", "x.png names one file, but 5 frames are asked for"},
            {"capture --count 1 --format png --out x.jpg", "neither a folder (end it with /)"},
            {"capture --format png --out -", "raw frames only"},
            {"capture --quality 50", "--quality applies to --format jpeg only"},
            {"capture --format jpeg --quality 101", "from 1 to 100"},
            {"reset Brightnes", "nearest: Brightness"},
            {"reset PinOpen", "read-only"},
            {"reset RegisterValue", "RegisterValue is not a setting"},
            {"serve --listen 0.0.0.0:8080", "would listen on every address"},
            {"serve --listen 8080", "--listen wants ADDR:PORT"},
            {"serve --listen '[::1:80'", "--listen wants ADDR:PORT"},
            {"capture --set Brightnes=3", "nearest: Brightness"},
            {"capture --set ExposureMax=3", "read-only"},
            {"capture --sensor-out ''", "--sensor-out"},
            {"get Brightnes", "nearest: Brightness"},
            {"get", "NAME is required"},
            {"set Exposure", "'Exposure' is not NAME=VALUE"},
            {"set Exposure=bright", "must be a 32-bit integer"},
            {"set RawCommand=1", "use 'camctl raw-command BYTE...'"},
            {"info --set Tint=1", "nearest: "},
            {"reg", "'reg read N...' or 'reg write N=V...'"},
            {"reg peek 6", "unknown command 'peek'; the commands are read, write"},
            {"reg read 1024", "from 0 to 1023"},
            {"reg write 6", "N from 0 to 1023 and a 32-bit value V"},
            {"mem read 0x10000", "from 0 to 65535"},
            {"raw-command 256", "a byte must be an integer from 0 to 255"},
            {"raw-command" + sixty_four_bytes, "at most 63 bytes"},
            {"convert --size 16x12 --phase 4 in.raw out.png", "0 (GRBG), 1 (BGGR), 2 (RGGB) or 3"},
            {"convert --size '16 x 12' in.raw out.png", "no spaces"},
            {"convert --size 16x12 in.raw in.raw", "the same file"},
            {"convert --size 16x12 in.raw ./in.raw", "the same file"},
            {"convert --size 16x12 in.raw out.jpg", "unknown output format"},
            {"convert --size 16x12 --set Tint=3 in.raw out.png", "'Tint' is not a colour setting"},
            {"convert --size 16x12 in.raw", "OUT"},
            {"--scene chart convert --size 16x12 in.raw out.png",
             "convert does not use the camera"},
            {"convert --usb-trace t.pcap --size 16x12 in.raw out.png",
             "convert does not use the camera"},
        },
        2);
    EXPECT_FALSE(camtest::ReadText(dir.File("out.png")).size() > 0);
}

// Each help shows the options its command takes, the common ones among them, and what concerns
// it of the footer.
TEST(CamctlArgumentsTest, EachHelpShowsItsOwnOptionsAndFooter) {
    const struct {
        const char* args;
        std::vector<const char*> present;
        std::vector<const char*> absent;
    } cases[] = {
        {"--help",
         {"capture", "convert", "serve", "reset", "flat:LEVEL (0..255)",
          "ExTrigger Timeout Exposure", "ColorCorrection", "camctl COMMAND --help", "Exit status"},
         {}},
        {"capture --help",
         {"--count N", "1..1000000", "--quality Q", "1..100", "--registry FILE", "--usb-trace FILE",
          "--link-speed", "--scene SCENE", "ExTrigger Timeout"},
         {"Bayer phases", "Exit status", "--phase"}},
        {"serve --help", {"--listen ADDR:PORT", "--link-speed", "--set NAME=VALUE"}, {"--count"}},
        {"set --help",
         {"--registry FILE", "--usb-trace FILE", "ExTrigger Timeout", "NAME=VALUE ..."},
         {"--link-speed", "--scene", "Bayer phases"}},
        {"get --help", {"NAME ..."}, {}},
        {"reg read --help", {"--registry FILE"}, {"--link-speed", "Exit status"}},
        {"reg write --help", {"N=V ...", "(0..1023)"}, {}},
        {"mem read --help", {"ADDR ..."}, {}},
        {"convert --help",
         {"1 BGGR", "3 GBRG", "--size WxH", "--phase 0..3", "--set NAME=VALUE ..."},
         {"--registry", "--link-speed", "Exit status"}},
        {"--version", {"camctl 0."}, {"Usage"}},
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        const camtest::CamctlResult run = RunCamctl(dir, c.args);
        EXPECT_EQ(run.status, 0) << c.args;
        for (const char* part : c.present)
            EXPECT_NE(run.out.find(part), std::string::npos) << c.args << ": " << part << "\n"
                                                             << run.out;
        // The parser's own type names (TEXT, INT) and a validator's text after a colon are
        // not for people.
        std::vector<const char*> absent = c.absent;
        absent.insert(absent.end(), {" TEXT", " INT", "VALUE:NAME"});
        for (const char* part : absent)
            EXPECT_EQ(run.out.find(part), std::string::npos) << c.args << ": " << part << "\n"
                                                             << run.out;
    }
}

TEST(CamctlArgumentsTest, FailuresExitWithOneAndSayWhatFailed) {
    ScratchDir dir;
    camtest::WriteText(dir.File("in.raw"), std::string(16 * 12, '\x40'));
    // A picture whose header announces 16384 x 16384 pixels in a few bytes.
    const unsigned char huge_png[] = {
        0x89, 'P',  'N',  'G',  0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 'I',  'H',  'D',
        'R',  0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x40, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00, 0x26,
        0xAA, 0x87, 0xD3, 0x00, 0x00, 0x00, 0x00, 'I',  'D',  'A',  'T',  0x35, 0xAF, 0x06, 0x1E,
        0x00, 0x00, 0x00, 0x00, 'I',  'E',  'N',  'D',  0xAE, 0x42, 0x60, 0x82};
    camtest::WriteText(dir.File("huge.png"),
                       std::string(reinterpret_cast<const char*>(huge_png), sizeof(huge_png)));
    camtest::WriteText(dir.File("bad.reg"),
                       "Windows Registry Editor Version 5.00\r\n\r\n[HKEY\r\n");
    const std::string bad_registry = camtest::ReadText(dir.File("bad.reg"));
    ExpectRefused(dir,
                  {
                      {"--usb-trace /dev/full info", "/dev/full could not be written"},
                      {"--usb-trace /nonexistent/t.pcap info", "/nonexistent/t.pcap"},
                      {"--scene huge.png info", "16384x16384, too large"},
                      {"--scene missing.png info", "missing.png"},
                      {"--registry bad.reg info", "bad.reg:3:"},
                      {"--registry /nonexistent/s.reg info", "/nonexistent"},
                      {"convert --size 16x13 in.raw out.png", "in.raw holds 192 bytes"},
                      {"capture --count 1 --out /nonexistent/dir/x.png",
                       "the folder /nonexistent does not exist"},
                      {"capture --count 1 --out new/deeper/", "the folder new does not exist"},
                      {"capture --count 1 --format raw --out new/deeper/f.bgra",
                       "the folder new does not exist"},
                  },
                  1);
    // Only the last level of a folder is ever made.
    EXPECT_FALSE(std::filesystem::exists("/nonexistent"));
    EXPECT_FALSE(std::filesystem::exists(dir.File("new")));
    // A refused settings file is never rewritten.
    EXPECT_EQ(camtest::ReadText(dir.File("bad.reg")), bad_registry);
}

}  // namespace
