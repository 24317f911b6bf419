// Pin creation, format changes and format intersection with hostile format and range bytes, mixed
// with state changes and buffers, on an open filter of a started device. Whatever the intersection
// offers, a pin must take.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz/support/client_pin.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/shared_rig.h"
#include "fuzz/support/verified_run.h"

namespace {

namespace client = platform::ks::client;
using camfuzz::FuzzInput;

constexpr size_t kMaxSteps = 24;
// Larger frame buffers are not worth the memory: the driver must cope with a short one anyway.
constexpr ULONG kMaxBufferBytes = 1 << 20;
constexpr uint32_t kFrameWaitMs = 50;

// A record from a template, changed by the input: bytes overwritten at chosen offsets, then its
// length (and FormatSize) possibly cut or extended.
std::vector<uint8_t> Mutated(FuzzInput& in, std::vector<uint8_t> bytes) {
    const uint32_t patches = in.Choice(4);
    for (uint32_t i = 0; i < patches && !bytes.empty(); ++i) {
        const size_t offset = in.U16() % bytes.size();
        const std::vector<uint8_t> patch = in.Bytes(in.Choice(8) + 1);
        for (size_t j = 0; j < patch.size() && offset + j < bytes.size(); ++j)
            bytes[offset + j] = patch[j];
    }
    switch (in.Choice(4)) {
        case 0:
            bytes.resize(in.U16() % (bytes.size() + 64));
            break;
        case 1:
            return bytes;  // FormatSize as patched, which may disagree with the length
        default:
            break;
    }
    if (bytes.size() >= sizeof(ULONG)) {
        const ULONG size = (ULONG)bytes.size();
        std::copy_n(reinterpret_cast<const uint8_t*>(&size), sizeof(size), bytes.begin());
    }
    return bytes;
}

const KSDATAFORMAT* AsFormat(const std::vector<uint8_t>& bytes) {
    return reinterpret_cast<const KSDATAFORMAT*>(bytes.data());
}

// The client never hands over fewer bytes than the record says it has.
bool Whole(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= sizeof(KSDATAFORMAT) && AsFormat(bytes)->FormatSize <= bytes.size();
}

class FormatProgram {
  public:
    explicit FormatProgram(camtest::Rig& rig)
        : rig_(rig),
          format_(rig.DefaultFormat()),
          range_(RangeBytes(client::PinDescriptor(rig.filter(), 0))) {}

    void Run(FuzzInput& in) {
        for (size_t step = 0; step < kMaxSteps && !in.empty(); ++step) {
            switch (in.Choice(7)) {
                case 0:
                    Intersect(in);
                    break;
                case 1:
                    if (std::vector<uint8_t> format = Mutated(in, format_); Whole(format))
                        pin_.Open(rig_, format, in.Byte() & 1);
                    break;
                case 2:
                    if (std::vector<uint8_t> format = Mutated(in, format_);
                        Whole(format) && pin_.get() != nullptr) {
                        client::SetPinFormat(pin_.get(), AsFormat(format));
                    }
                    break;
                case 3:
                    pin_.ChangeState(in);
                    break;
                case 4:
                    pin_.Close();
                    break;
                case 5:
                    Submit(in);
                    break;
                default:
                    pin_.Resubmit(kFrameWaitMs);
                    break;
            }
        }
    }

  private:
    static std::vector<uint8_t> RangeBytes(const KSPIN_DESCRIPTOR_EX* pin) {
        const KSDATARANGE* range = pin->PinDescriptor.DataRanges[0];
        const auto* bytes = reinterpret_cast<const uint8_t*>(range);
        return std::vector<uint8_t>(bytes, bytes + range->FormatSize);
    }

    void Intersect(FuzzInput& in) {
        std::vector<uint8_t> range = Mutated(in, range_);
        if (!Whole(range))
            return;
        ULONG size = 0;
        const NTSTATUS query =
            client::Intersect(rig_.filter(), 0, AsFormat(range), 0, nullptr, &size);
        ULONG buffer_size = in.Byte() & 1 ? size : in.U16();
        std::vector<uint8_t> result(buffer_size);
        const NTSTATUS status =
            client::Intersect(rig_.filter(), 0, AsFormat(range), buffer_size, result.data(), &size);
        if (status != STATUS_SUCCESS)
            return;
        camfuzz::Require(query == STATUS_BUFFER_OVERFLOW,
                         "a size query of an answered range failed");
        camfuzz::Require(size <= buffer_size && size >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) &&
                             AsFormat(result)->FormatSize == size,
                         "the intersection's format does not fit what it reported");
        result.resize(size);
        if (pin_.get() != nullptr)
            return;
        NTSTATUS created = STATUS_UNSUCCESSFUL;
        client::Pin* pin = rig_.CreatePin(result, true, &created);
        camfuzz::Require(created == STATUS_SUCCESS,
                         "a pin refused the format the intersection offered");
        client::ClosePin(pin);
    }

    // A buffer of the image's size or of any other.
    void Submit(FuzzInput& in) {
        if (pin_.get() == nullptr)
            return;
        ULONG extent = std::min(pin_.ImageBytes(), kMaxBufferBytes);
        if (in.Byte() & 1)
            extent = in.U32() % (kMaxBufferBytes + 1);
        pin_.Queue(in.Byte() & 1 ? 128 : 56, extent);
    }

    camtest::Rig& rig_;
    std::vector<uint8_t> format_;
    std::vector<uint8_t> range_;
    camfuzz::ClientPin pin_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    camtest::Rig& rig = camfuzz::SharedRig();
    camfuzz::VerifiedRun run;
    rig.RestartCount();
    FuzzInput in(data, size);
    FormatProgram(rig).Run(in);
    return 0;
}
