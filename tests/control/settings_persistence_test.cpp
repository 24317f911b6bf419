// Settings that persist, as a device sees them through its registry file: what a start loads and
// applies, what a stop saves, and what refused files, registry faults, crashes and failed
// allocations leave behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera_parameters.h"
#include "imaging/color_settings.h"
#include "platform/verifier.h"
#include "tests/support/rig_test.h"
#include "tests/support/settings_file.h"
#include "usb/usb_transport.h"

namespace {

using StoredValues = std::vector<std::pair<std::string, std::string>>;

using camtest::Dword;

class SettingsPersistenceTest : public camtest::UsbRigTest {
  protected:
    // Writes the file and makes a device that reads it.
    void PlugWithSettings(const std::vector<std::string>& lines) {
        camtest::WriteSettings(rig_.registry_file(), lines);
        ASSERT_EQ(rig_.Replug(), STATUS_SUCCESS);
    }
    static std::string Line(const std::string& name, uint32_t value) {
        return "\"" + name + "\"=" + Dword(value);
    }
    std::string Stored(const std::string& name) const {
        for (const auto& [stored_name, data] : camtest::StoredSettings(rig_.registry_file())) {
            if (stored_name == name)
                return data;
        }
        return "(missing)";
    }
};

TEST_F(SettingsPersistenceTest, AnEmptyKeyLoadsTheDefaultsAndASaveWritesAllNineteenValues) {
    PlugWithSettings({});
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    EXPECT_EQ(sim().state().registers[158], 2u);
    EXPECT_EQ(sim().state().registers[6], 0u);
    EXPECT_EQ(sim().state().items[11], 0);
    EXPECT_EQ(camera()->timeout_ms, 3000);
    rig_.Stop();
    const StoredValues expected = {
        {"Timeout", Dword(3000)},   {"Exposure", Dword(2)},
        {"GlobalGain", Dword(0)},   {"FlipH", Dword(0)},
        {"FlipV", Dword(0)},        {"ColorEnable", Dword(1)},
        {"WhiteBalance", Dword(0)}, {"ColorCorrection", Dword(1)},
        {"Brightness", Dword(255)}, {"Contrast", Dword(10)},
        {"Saturation", Dword(10)},  {"Hue", Dword(0)},
        {"RedGain", Dword(128)},    {"GreenGain", Dword(128)},
        {"BlueGain", Dword(128)},   {"AGC", Dword(0)},
        {"AEC", Dword(0)},          {"Clock", Dword(2)},  // the simulated camera's clock setting
        {"ExTrigger", Dword(0)},
    };
    EXPECT_EQ(camtest::StoredSettings(rig_.registry_file()), expected);
}

// The range the property set takes: 501 ms and up, a negative value (a huge unsigned one) not.
TEST_F(SettingsPersistenceTest, AStoredTimeOutAppliesFrom501Up) {
    for (const auto& [stored, applied] : std::vector<std::pair<LONG, bool>>{
             {500, false}, {501, true}, {9999, true}, {10000, true}, {-1, false}}) {
        SCOPED_TRACE(stored);
        PlugWithSettings({Line("Timeout", (uint32_t)stored)});
        const LONG frame_timeout_before = frame_timeout_ms;
        ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
        EXPECT_EQ(camera()->timeout_ms, applied ? stored : 3000);
        EXPECT_EQ(frame_timeout_ms, applied ? stored : frame_timeout_before);
        rig_.Stop();
        EXPECT_EQ(Stored("Timeout"), Dword(applied ? (uint32_t)stored : 3000u));
    }
}

TEST_F(SettingsPersistenceTest, StoredValuesApplyClampedAndTheReadOnlyOnesChangeNothing) {
    sim().SetClockSetting(1);
    PlugWithSettings({Line("Brightness", 1000), Line("Exposure", 5000), Line("ExTrigger", 5),
                      Line("Clock", 7), Line("AGC", 1), Line("AEC", 1), Line("FlipH", 1)});
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    EXPECT_EQ(GetBrightness(camera()), 510);
    EXPECT_EQ(sim().state().registers[158], 36u);
    EXPECT_EQ(sim().state().registers[159], 19u);
    EXPECT_EQ(sim().state().items[11], 1);
    EXPECT_EQ(GetFlipH(camera()), 1);
    for (const sim::ItemWrite& write : sim().records().ItemWrites())
        EXPECT_NE(write.item, 15) << "the clock was set";
    rig_.Stop();
    EXPECT_EQ(Stored("Brightness"), Dword(510));
    EXPECT_EQ(Stored("Exposure"), Dword(1252));
    EXPECT_EQ(Stored("ExTrigger"), Dword(1));
    EXPECT_EQ(Stored("Clock"), Dword(1));
    EXPECT_EQ(Stored("AGC"), Dword(0));
    EXPECT_EQ(Stored("AEC"), Dword(0));
    EXPECT_EQ(Stored("FlipH"), Dword(1));
}

// A value's type is not looked at: four to eight bytes are a little-endian number, whatever the
// type says; fewer are passed over, more do not fit the query. The next save writes REG_DWORDs.
TEST_F(SettingsPersistenceTest, AnyValueOfFourToEightBytesIsReadAsANumber) {
    PlugWithSettings({"\"Brightness\"=\"300\"", "\"Contrast\"=hex:0f,00,00,00",
                      "\"Hue\"=hex(4):2d,00", "\"Saturation\"=hex(b):0f,00,00,00,00,00,00,00",
                      "\"Exposure\"=hex(4):64,00,00,00,00,00,00,00,00",
                      "\"GlobalGain\"=hex(4):2d,00,00,00,00,00"});
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    EXPECT_EQ(GetBrightness(camera()), 510);  // "3" and "0" in UTF-16: 0x00300033, clamped
    EXPECT_EQ(GetContrast(camera()), 15);
    EXPECT_EQ(GetHue(camera()), 0);
    EXPECT_EQ(GetSaturation(camera()), 15);
    EXPECT_EQ(GetExposure(camera()), 2);
    EXPECT_EQ(GetGlobalGain(camera()), 45);
    rig_.Stop();
    EXPECT_EQ(Stored("Brightness"), Dword(510));
    EXPECT_EQ(Stored("Contrast"), Dword(15));
    EXPECT_EQ(Stored("Hue"), Dword(0));
    EXPECT_EQ(Stored("Saturation"), Dword(15));
    EXPECT_EQ(Stored("Exposure"), Dword(2));
    EXPECT_EQ(Stored("GlobalGain"), Dword(45));
}

TEST_F(SettingsPersistenceTest, GainsSavedUnderAutomaticWhiteBalanceAreTheCamerasOwn) {
    constexpr ULONG kWidth = 64;
    constexpr ULONG kHeight = 16;
    // A reddish frame: green, red / blue, green sites.
    std::vector<UCHAR> raw(kWidth * kHeight);
    for (ULONG y = 0; y < kHeight; ++y) {
        for (ULONG x = 0; x < kWidth; ++x)
            raw[y * kWidth + x] = (x + y) % 2 == 0 ? 100 : y % 2 == 0 ? 200 : 50;
    }
    std::vector<ULONG> image(kWidth * kHeight);
    FrameProcessor* processor = CreateFrameProcessor();
    ASSERT_NE(processor, nullptr);
    PushColorSettings(camera(), processor);
    camera()->processor = processor;
    SetConversionGeometry(processor, kWidth, kHeight);
    AllocateWorkBuffer(processor);
    processor->conversion.output_buffer = image.data();
    auto measure = [&] { ConvertFrame(processor, raw.data(), 0, kWidth); };

    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    SetWhiteBalanceAuto(camera(), 1);
    measure();
    const LONG measured_red = processor->red_gain;
    ASSERT_NE(measured_red, 128);
    rig_.Stop();
    EXPECT_EQ(Stored("WhiteBalance"), Dword(1));
    EXPECT_EQ(Stored("RedGain"), Dword(128));

    // The next start loads the saved gains into the processor; the next frame measures again.
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    measure();
    EXPECT_EQ(GetRedGain(camera()), measured_red);
    const LONG measured_blue = processor->blue_gain;
    SetWhiteBalanceAuto(camera(), 0);
    rig_.Stop();
    EXPECT_EQ(Stored("WhiteBalance"), Dword(0));
    EXPECT_EQ(Stored("RedGain"), Dword((uint32_t)measured_red));
    EXPECT_EQ(Stored("BlueGain"), Dword((uint32_t)measured_blue));

    camera()->processor = nullptr;
    FreeFrameProcessor(processor);
}

TEST_F(SettingsPersistenceTest, RegistryFaultsLeaveTheSettingsAndTheFileAsTheyWere) {
    PlugWithSettings({Line("Brightness", 300), Line("Contrast", 15)});
    const std::string file = camtest::ReadText(rig_.registry_file());
    platform::registry::FailDriverKeyOpen(STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    EXPECT_EQ(GetBrightness(camera()), 255);
    EXPECT_EQ(GetExposure(camera()), 0);  // not even the default was applied
    rig_.Stop();
    EXPECT_EQ(camtest::ReadText(rig_.registry_file()), file);

    platform::registry::ClearFaults();
    platform::registry::FailValueQuery("brightness", STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(rig_.Replug(), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    EXPECT_EQ(GetBrightness(camera()), 255);
    EXPECT_EQ(GetContrast(camera()), 15);
    rig_.Stop();
}

// A load that could not read what is stored applied defaults in its place; the next save must not
// write those defaults over the stored values, which a later start would then take as the user's.
TEST_F(SettingsPersistenceTest, ALoadThatCouldNotReadTheStoreDoesNotLetTheNextSaveOverwriteIt) {
    const std::vector<std::string> stored = {Line("Brightness", 300), Line("Exposure", 600),
                                             Line("GlobalGain", 700), Line("Contrast", 15)};
    struct Case {
        const char* name;
        std::function<void()> fault;  // armed just before the start, lifted before the stop
    };
    const Case cases[] = {
        {"driver key open fails once",
         [] { platform::registry::FailNthCall(1, STATUS_INSUFFICIENT_RESOURCES); }},
        {"Settings key open fails once",
         [] { platform::registry::FailNthCall(2, STATUS_INSUFFICIENT_RESOURCES); }},
        {"one value's query fails",
         [] { platform::registry::FailValueQuery("Exposure", STATUS_INSUFFICIENT_RESOURCES); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlugWithSettings(stored);
        c.fault();
        ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
        platform::registry::ClearFaults();
        rig_.Stop();
        EXPECT_EQ(Stored("Exposure"), Dword(600));
        EXPECT_EQ(Stored("GlobalGain"), Dword(700));
        EXPECT_EQ(Stored("Brightness"), Dword(300));
        EXPECT_EQ(Stored("Contrast"), Dword(15));
    }
}

// The same when the camera refused the sensor settings the load applied: their fields keep the
// values from before the load (nothing programmed yet), and those are not the stored settings.
TEST_F(SettingsPersistenceTest, SensorSettingsTheCameraRefusedAtTheLoadAreNotOverwritten) {
    PlugWithSettings({Line("Exposure", 600), Line("GlobalGain", 700), Line("ExTrigger", 1)});
    // The camera takes no command during the start, and answers again before the stop.
    sim::Faults faults;
    faults.command.next = {.count = 1u << 20, .kind = sim::TransferFault::kError};
    sim().SetFaults(faults);
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    sim().SetFaults({});
    rig_.Stop();
    EXPECT_EQ(Stored("Exposure"), Dword(600));
    EXPECT_EQ(Stored("GlobalGain"), Dword(700));
    EXPECT_EQ(Stored("ExTrigger"), Dword(1));
}

TEST_F(SettingsPersistenceTest, AMalformedFileIsNeitherAppliedNorOverwritten) {
    const std::string truncated = "Windows Registry Editor Version 5.00\r\n\r\n[" +
                                  camtest::SettingsKeyPath() + "]\r\n\"Brightness\"=dword:0000";
    camtest::WriteText(rig_.registry_file(), truncated);
    ASSERT_EQ(rig_.Replug(), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    EXPECT_EQ(GetExposure(camera()), 0);
    rig_.Stop();
    EXPECT_EQ(camtest::ReadText(rig_.registry_file()), truncated);
    EXPECT_EQ(platform::registry::StoreError().rfind(rig_.registry_file() + ":4: ", 0), 0u)
        << platform::registry::StoreError();
}

TEST_F(SettingsPersistenceTest, ACrashWhileSavingKeepsTheLastSavedSettings) {
    PlugWithSettings({Line("Brightness", 300)});
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    SetBrightness(camera(), 400);
    platform::registry::CrashWhileWriting(platform::registry::CrashPoint::kBeforeRename);
    rig_.Stop();
    ASSERT_EQ(rig_.Replug(), STATUS_SUCCESS);
    ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
    EXPECT_EQ(GetBrightness(camera()), 300);
    rig_.Stop();
    EXPECT_EQ(Stored("Brightness"), Dword(300));
}

// The program runs only at the first two starts; the cycles after it exercise the bring-up, the
// load and the save with every registry call and every allocation failing in turn.
class FaultInjectionTest : public camtest::UsbRigTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(UsbRigTest::SetUp());
        platform::registry::SetStoreFile("");
        ASSERT_EQ(rig_.Replug(), STATUS_SUCCESS);
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(rig_.Start(), STATUS_SUCCESS);
            rig_.Stop();
        }
    }
    // The device's capture worker was made by the first start and is kept by the later ones.
    void CycleLeavingNothing(const std::string& what) {
        const uint64_t mark = platform::verifier::AllocationMark();
        rig_.Start();
        rig_.Stop();
        std::vector<std::string> leaks = platform::verifier::FindLeaks(mark);
        EXPECT_TRUE(leaks.empty()) << what << ": " << leaks[0];
    }
};

TEST_F(FaultInjectionTest, AFailureAtAnyRegistryCallOfStartAndStopLeavesNothingBehind) {
    const uint64_t before = platform::registry::CallCount();
    CycleLeavingNothing("clean");
    const uint64_t calls = platform::registry::CallCount() - before;
    // Each of load and save: the driver key, the Settings key and nineteen values.
    ASSERT_EQ(calls, 42u);
    for (uint64_t n = 1; n <= calls; ++n) {
        platform::registry::FailNthCall(n, STATUS_INSUFFICIENT_RESOURCES);
        CycleLeavingNothing("registry call " + std::to_string(n));
    }
}

TEST_F(FaultInjectionTest, AFailedAllocationAnywhereInStartAndStopLeavesNothingBehind) {
    const uint64_t before = platform::verifier::AllocationMark();
    CycleLeavingNothing("clean");
    const uint64_t allocations = platform::verifier::AllocationMark() - before;
    ASSERT_GT(allocations, 0u);
    for (uint64_t n = 1; n <= allocations; ++n) {
        platform::verifier::FailNthAllocation(n);
        CycleLeavingNothing("allocation " + std::to_string(n));
        platform::verifier::ClearFaults();
    }
}

}  // namespace
