// The checks camctl runs on its arguments: each refusal names the valid choices, names are found
// in any case, and a misspelt name gets the nearest ones.
#include <gtest/gtest.h>

#include <string>

#include "tools/common/arguments.h"
#include "tools/common/item_names.h"

namespace {

using camdrv::CameraItem;

struct Case {
    const char* text;
    const char* error_part;  // null: accepted
};

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

TEST(ArgumentChecks, RefusalsNameTheValidChoices) {
    struct Check {
        std::string (*check)(std::string_view);
        std::vector<Case> cases;
    };
    const Check checks[] = {
        {[](std::string_view text) {
             uint32_t w = 0, h = 0;
             return camtools::ParseSize(text, &w, &h);
         },
         {{"1600x1200", nullptr},
          {"16 x 12", "no spaces"},
          {" 16x12", "no spaces"},
          {"16x12 ", "no spaces"},
          {"16x 12", "no spaces"},
          {"0x5", "from 1 to 65535"},
          {"65536x1", "from 1 to 65535"},
          {"16x", "WxH"},
          {"1600", "WxH"}}},
        {[](std::string_view text) {
             uint64_t speed = 0;
             return camtools::ParseLinkSpeed(text, &speed);
         },
         {{"unlimited", nullptr},
          {"40000000", nullptr},
          {"0", "or 'unlimited'"},
          {"-5", "or 'unlimited'"},
          {"fast", "or 'unlimited'"},
          {"", "or 'unlimited'"}}},
        {camtools::CheckScene,
         {{"chart", nullptr},
          {"flat", nullptr},
          {"flat:0", nullptr},
          {"flat:255", nullptr},
          {"my.PNG", nullptr},
          {"", "chart (the default colour chart), flat, flat:LEVEL (0..255) or a PNG file"},
          {"flat:256", "flat:LEVEL (0..255)"},
          {"flat:", "flat:LEVEL"},
          {"bars", "a PNG file"},
          {".png", "a PNG file"}}},
    };
    for (const Check& check : checks) {
        for (const Case& c : check.cases) {
            const std::string error = check.check(c.text);
            if (c.error_part == nullptr)
                EXPECT_EQ(error, "") << c.text;
            else
                EXPECT_TRUE(Contains(error, c.error_part)) << "'" << c.text << "': " << error;
        }
    }
}

TEST(ArgumentChecks, AssignmentsFindTheirItemInAnyCaseOrSayWhy) {
    camtools::Assignment assignment;
    ASSERT_EQ(camtools::ParseAssignment("bRiGhTnEsS=600", &assignment), "");
    EXPECT_EQ(assignment.item->id, CameraItem::Brightness);
    EXPECT_EQ(assignment.value, 600);
    ASSERT_EQ(camtools::ParseAssignment("Hue=-5", &assignment), "");
    EXPECT_EQ(assignment.value, -5);
    ASSERT_EQ(camtools::ParseAssignment("Exposure=0x10", &assignment), "");
    EXPECT_EQ(assignment.value, 16);
    const Case refused[] = {
        {"Brightnes=3", "nearest: Brightness, "},
        {"exposur=1", "nearest: Exposure, "},
        {"Brightness", "not NAME=VALUE"},
        {"Brightness=", "32-bit integer"},
        {"Brightness=bright", "32-bit integer"},
        {"Brightness=4294967296", "32-bit integer"},
        {"ExposureMax=5", "ExposureMax is read-only"},
        {"WriteRegister=1", "camctl reg write N=V"},
        {"RawCommand=1", "camctl raw-command BYTE..."},
        {"ImageSize=3", "ImageSize takes a width and a height"},
    };
    for (const Case& c : refused) {
        const std::string error = camtools::ParseAssignment(c.text, &assignment);
        EXPECT_TRUE(Contains(error, c.error_part)) << c.text << ": " << error;
    }
    EXPECT_TRUE(Contains(camtools::CheckItemName("CameraMemory", false), "camctl mem read ADDR"));
    EXPECT_TRUE(Contains(camtools::CheckItemName("Reinitialize", false), "cannot be read"));
    EXPECT_EQ(camtools::CheckItemName("exposuremax", false), "");
}

// The settings are the values that persist: the nineteen the registry keeps.
TEST(ArgumentChecks, TheSettingsAreTheNineteenPersistedValues) {
    std::string names;
    for (const camdrv::CameraItemInfo* item : camtools::SettingItems())
        names += std::string(item->name) + " ";
    EXPECT_EQ(names,
              "ExTrigger Timeout Exposure GlobalGain FlipH FlipV ColorEnable WhiteBalance RedGain "
              "GreenGain BlueGain Brightness Contrast Saturation Hue ColorCorrection Clock AGC "
              "AEC ");
    const std::string text = camtools::SettingNamesText(2, 40);
    EXPECT_TRUE(Contains(text, "  ExTrigger Timeout Exposure GlobalGain\n  FlipH")) << text;
}

}  // namespace
