// Property requests on an open filter of a started device: any set, item and flags, any property
// and data lengths and bytes, interleaved with a pin's state changes and frames. Each input starts
// from the settings a fresh device has.
#include <cstdint>
#include <cstring>
#include <vector>

#include "control/settings_table.h"
#include "fuzz/support/client_pin.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/shared_rig.h"
#include "fuzz/support/verified_run.h"
#include "tests/support/property_records.h"

namespace {

namespace client = platform::ks::client;
using camfuzz::FuzzInput;

constexpr size_t kMaxSteps = 32;
constexpr uint32_t kFrameWaitMs = 20;
constexpr ULONG kFlagChoices[] = {
    KSPROPERTY_TYPE_GET,
    KSPROPERTY_TYPE_SET,
    KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY,
    KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT,
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
};

class PropertyProgram {
  public:
    explicit PropertyProgram(camtest::Rig& rig) : rig_(rig) {}

    void Run(FuzzInput& in) {
        for (size_t step = 0; step < kMaxSteps && !in.empty(); ++step) {
            switch (in.Choice(8)) {
                case 0:
                case 1:
                case 2:
                case 3:
                    Request(in);
                    break;
                case 4:
                    pin_.OpenStreaming(rig_);
                    break;
                case 5:
                    pin_.ChangeState(in);
                    break;
                case 6:
                    pin_.Close();
                    break;
                default:
                    pin_.Resubmit(kFrameWaitMs);
                    break;
            }
        }
    }

  private:
    void Request(FuzzInput& in) {
        const uint8_t shape = in.Byte();
        KSPROPERTY header{};
        header.Set = shape & 0x80 ? GUID{} : camdrv::kCameraPropertySet;
        if (shape & 0x40)
            std::memcpy(&header.Set, in.Bytes(sizeof(GUID)).data(), sizeof(GUID));
        header.Id = in.Byte();
        const uint32_t flag_choice = in.Choice(std::size(kFlagChoices) + 1);
        header.Flags = flag_choice < std::size(kFlagChoices) ? kFlagChoices[flag_choice] : in.U32();
        const ULONG property_size = shape & 0x20 ? in.Byte() : sizeof(camdrv::CameraPropertyValue);
        const ULONG data_size = shape & 0x10 ? in.Byte() : sizeof(camdrv::CameraPropertyValue);
        std::vector<uint8_t> property = in.Bytes(property_size);
        if (!property.empty())
            std::memcpy(property.data(), &header, std::min(sizeof(header), property.size()));
        // Capture applications often pass one record as both property and data.
        if (shape & 0x08) {
            property.resize(std::max(property_size, data_size));
            client::PropertyRequest(rig_.filter(), property.data(), property_size, property.data(),
                                    data_size);
            return;
        }
        std::vector<uint8_t> data = in.Bytes(data_size);
        const std::vector<uint8_t> sent = data;
        ULONG returned = 0;
        const NTSTATUS status = client::PropertyRequest(
            rig_.filter(), property.data(), property_size, data.data(), data_size, &returned);
        // A set takes the client's value; it never answers with one.
        if (NT_SUCCESS(status) && (header.Flags & KSPROPERTY_TYPE_SET) != 0 &&
            property_size >= sizeof(KSPROPERTY)) {
            camfuzz::Require(data == sent, "a set request wrote into the client's data");
        }
    }

    camtest::Rig& rig_;
    camfuzz::ClientPin pin_;
};

void SetValue(client::Filter* filter, camdrv::CameraItem item, LONG value) {
    camtest::ItemRequest(filter, item, KSPROPERTY_TYPE_SET, &value);
}

// The settings of a device started without persisted ones, and the rig's geometry and time-out,
// so that no input depends on the ones before it.
void RestoreSettings(camtest::Rig& rig) {
    for (const SettingEntry& setting : kSettings) {
        if (!setting.default_is_camera_clock)
            SetValue(rig.filter(), setting.item, setting.missing_default);
    }
    const camtest::RigOptions options = camfuzz::SmallRigOptions();
    SetValue(rig.filter(), camdrv::CameraItem::Timeout, options.frame_timeout_ms);
    camtest::SetImageSize(rig.filter(), options.width, options.height);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    camtest::Rig& rig = camfuzz::SharedRig();
    camfuzz::VerifiedRun run;
    rig.RestartCount();
    RestoreSettings(rig);
    FuzzInput in(data, size);
    PropertyProgram(rig).Run(in);
    return 0;
}
