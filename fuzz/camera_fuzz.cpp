// A hostile camera: its descriptors, its answers to queries and memory reads and the fate of its
// frames come from the input (short, long, garbage, withheld, late, failed). The device is started
// on it, asked for what needs an answer, made to stream, and stopped; nothing may hang, leak or
// trip the verifier.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/support/client_pin.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/shared_rig.h"
#include "fuzz/support/verified_run.h"
#include "tests/support/property_records.h"
#include "tests/support/settings_file.h"

namespace {

namespace client = platform::ks::client;
using camfuzz::FuzzInput;

constexpr size_t kMaxReplies = 12;
constexpr size_t kMaxSteps = 12;
constexpr size_t kMaxDescriptorBytes = 300;
constexpr uint32_t kFrameWaitMs = 100;
// The shortest frame time-out a device loads: every answer the camera withholds costs one.
constexpr uint32_t kTimeoutMs = 501;

std::vector<uint8_t> Descriptor(FuzzInput& in, std::vector<uint8_t> bytes) {
    switch (in.Choice(3)) {
        case 0:
            return {};  // the camera's own
        case 1:
            return in.Bytes(in.U16() % kMaxDescriptorBytes);
        default:
            break;
    }
    const uint32_t patches = in.Choice(4) + 1;
    for (uint32_t i = 0; i < patches && !bytes.empty(); ++i)
        bytes[in.Byte() % bytes.size()] = in.Byte();
    return bytes;
}

sim::Faults HostileFaults(FuzzInput& in) {
    sim::Faults faults;
    faults.device_descriptor = Descriptor(in, sim::DeviceDescriptor());
    faults.configuration_descriptor =
        Descriptor(in, sim::ConfigurationDescriptor(sim::HostileDescriptors::kNone));
    const size_t replies = in.Choice(kMaxReplies + 1);
    for (size_t i = 0; i < replies; ++i) {
        sim::ScriptedReply reply;
        reply.kind = (sim::ReplyFault)in.Choice(4);
        if (reply.kind == sim::ReplyFault::kBytes)
            reply.bytes = in.Bytes(in.Byte() % (2 * sim::kPacketSize + 2));
        if (reply.kind == sim::ReplyFault::kError)
            reply.status = (USBD_STATUS)in.U32();
        if (reply.kind == sim::ReplyFault::kLate)
            reply.delay_ms = in.Byte() * 4u;
        faults.replies.push_back(reply);
    }
    faults.drop_frames = in.Choice(3);
    faults.frame.next.count = in.Choice(3);
    faults.frame.next.kind =
        in.Byte() & 1 ? sim::TransferFault::kShort : sim::TransferFault::kError;
    return faults;
}

// What a client asks of the camera that needs its answers, and a short stream.
void Exercise(camtest::Rig& rig, FuzzInput& in) {
    client::Filter* filter = rig.filter();
    camfuzz::ClientPin pin;
    for (size_t step = 0; step < kMaxSteps && !in.empty(); ++step) {
        LONG value = 0;
        switch (in.Choice(6)) {
            case 0:
                camtest::ItemRequest(filter, camdrv::CameraItem::Clock, KSPROPERTY_TYPE_GET,
                                     &value);
                break;
            case 1:
                value = in.U16();
                camtest::ItemRequest(filter, camdrv::CameraItem::CameraMemory, KSPROPERTY_TYPE_SET,
                                     &value);
                camtest::ItemRequest(filter, camdrv::CameraItem::CameraMemory, KSPROPERTY_TYPE_GET,
                                     &value);
                break;
            case 2:
                value = in.U16();
                camtest::ItemRequest(filter, camdrv::CameraItem::Exposure, KSPROPERTY_TYPE_SET,
                                     &value);
                break;
            case 3:
                pin.OpenStreaming(rig);
                break;
            case 4:
                pin.ChangeState(in);
                break;
            default:
                pin.Resubmit(kFrameWaitMs);
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    camfuzz::VerifiedRun run;
    FuzzInput in(data, size);
    camtest::RigOptions options = camfuzz::SmallRigOptions();
    options.level = camtest::RigLevel::kUsb;
    options.frame_timeout_ms = kTimeoutMs;
    {
        camtest::Rig rig(options);
        camtest::WriteSettings(rig.registry_file(), {"\"Timeout\"=" + camtest::Dword(kTimeoutMs)});
        rig.Replug();
        rig.sim().SetFaults(HostileFaults(in));
        if (NT_SUCCESS(rig.Start()) && NT_SUCCESS(rig.OpenFilter()))
            Exercise(rig, in);
    }
    platform::registry::Reset();
    return 0;
}
