// The settings file: arbitrary bytes as the file, then a device started on it (the load), settings
// set, the filter closed and the device stopped (the saves). A refused file is never rewritten; an
// accepted one stays accepted, and a device started on what was saved has the settings the last
// one had.
#include <cstdint>
#include <string>
#include <vector>

#include "control/settings_table.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/shared_rig.h"
#include "fuzz/support/verified_run.h"
#include "tests/support/property_records.h"
#include "tests/support/settings_file.h"

namespace {

namespace client = platform::ks::client;
using camfuzz::FuzzInput;
using camfuzz::Require;

constexpr size_t kMaxSets = 8;

// The persisted settings as a client reads them; the clock is the camera's, not the file's.
std::vector<LONG> Settings(client::Filter* filter) {
    std::vector<LONG> values;
    for (const SettingEntry& setting : kSettings) {
        LONG value = 0;
        if (!setting.default_is_camera_clock)
            Require(
                NT_SUCCESS(camtest::ItemRequest(filter, setting.item, KSPROPERTY_TYPE_GET, &value)),
                "a setting get failed");
        values.push_back(value);
    }
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    camfuzz::VerifiedRun run;
    FuzzInput in(data, size);
    const std::vector<uint8_t> program = in.Bytes(in.Choice(3 * kMaxSets));
    const std::vector<uint8_t> file = in.Rest();
    camtest::RigOptions options = camfuzz::SmallRigOptions();
    options.level = camtest::RigLevel::kUsb;
    {
        camtest::Rig rig(options);
        const std::string path = rig.registry_file();
        const std::string text(file.begin(), file.end());
        camtest::WriteText(path, text);
        std::string error;
        const bool accepted = platform::registry::CheckStoreFile(path, &error);
        rig.Replug();
        if (NT_SUCCESS(rig.Start()) && NT_SUCCESS(rig.OpenFilter())) {
            FuzzInput sets(program.data(), program.size());
            while (!sets.empty()) {
                LONG value = (LONG)(int16_t)sets.U16();
                camtest::ItemRequest(rig.filter(), kSettings[sets.Choice(kSettingCount)].item,
                                     KSPROPERTY_TYPE_SET, &value);
            }
            const std::vector<LONG> before = Settings(rig.filter());
            rig.Replug();
            if (accepted) {
                Require(platform::registry::CheckStoreFile(path, &error),
                        "the saved settings file is refused: " + error);
                Require(NT_SUCCESS(rig.Start()) && NT_SUCCESS(rig.OpenFilter()),
                        "no device starts on the saved settings");
                Require(Settings(rig.filter()) == before, "a setting did not survive its save");
            }
        }
        rig.Unplug();
        if (!accepted)
            Require(camtest::ReadText(path) == text, "a refused settings file was rewritten");
    }
    platform::registry::Reset();
    return 0;
}
