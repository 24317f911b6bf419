#include "tests/e2e/state_walk.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/registry_host.h"
#include "platform/verifier.h"
#include "tests/support/hang_guard.h"
#include "tests/support/property_requests.h"

namespace camtest {
namespace {

namespace verifier = platform::verifier;
using camdrv::CameraItem;

// Small frames at the link's full speed, so that many flow in little time, and a short frame
// time-out, so that a camera that has gone is given up on soon.
RigOptions WalkRig() {
    return {.level = RigLevel::kFilter, .width = 160, .height = 120, .frame_timeout_ms = 500};
}

// The states in the order the class driver walks them.
int Rank(KSSTATE state) {
    switch (state) {
        case KSSTATE_STOP:
            return 0;
        case KSSTATE_ACQUIRE:
            return 1;
        case KSSTATE_PAUSE:
            return 2;
        default:
            return 3;
    }
}
constexpr KSSTATE kByRank[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN};
const char* const kStateNames[] = {"STOP", "ACQUIRE", "PAUSE", "RUN"};

// Formats a client may ask for: the pin's own, a wider bitmap (a larger row pitch, taken), 24-bit
// (taken as a format, refused when the pin claims the camera), a narrower bitmap (refused).
enum FormatKind { kOwn, kWider, kTwentyFourBit, kNarrower, kFormatKinds };
const char* const kFormatNames[] = {"own", "wider", "24-bit", "narrower"};

// Aborts the process, naming the step, when a step outlasts the hang guard: a hung step cannot
// be returned from.
class HangWatch {
  public:
    HangWatch() : thread_([this] { Watch(); }) {}
    ~HangWatch() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Begin(const std::string& what) {
        std::lock_guard<std::mutex> guard(mutex_);
        what_ = what;
        deadline_ = Clock::now() + std::chrono::milliseconds(kHangGuardMs);
        busy_ = true;
    }
    void End() {
        std::lock_guard<std::mutex> guard(mutex_);
        busy_ = false;
    }

  private:
    using Clock = std::chrono::steady_clock;
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            wake_.wait_for(lock, std::chrono::seconds(1));
            if (busy_ && Clock::now() > deadline_) {
                std::fprintf(stderr, "state walk: hang at %s\n", what_.c_str());
                std::abort();
            }
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool busy_ = false;
    std::string what_;
    Clock::time_point deadline_;
    std::thread thread_;
};

HangWatch& Watch() {
    static HangWatch* watch = new HangWatch;
    return *watch;
}

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", (unsigned)status);
    return text;
}

}  // namespace

struct StateWalk::Pin {
    client::Pin* pin = nullptr;
    KSSTATE state = KSSTATE_STOP;  // as the client last saw it
    bool takes_camera = true;      // its format is one the camera can be claimed with
    ULONG extent = 0;
    std::vector<client::StreamBuffer*> owned;
    std::vector<client::StreamBuffer*> idle;  // owned and not queued
    LONGLONG last_picture = 0;                // within the stream
    LONGLONG last_time = 0;

    ~Pin() {
        for (client::StreamBuffer* buffer : owned)
            client::FreeStreamBuffer(buffer);
    }
};

struct StateWalk::Filter {
    client::Filter* filter = nullptr;
    std::unique_ptr<Pin> pin;
};

StateWalk::StateWalk(uint64_t seed) : seed_(seed), random_state_(seed), rig_(WalkRig()) {
    if (!rig_.ok()) {
        Fail("the rig did not stand up");
        return;
    }
    default_format_ = rig_.DefaultFormat();
    rig_.CloseFilter();
    idle_blocks_ = verifier::OutstandingBlocks();
}

StateWalk::~StateWalk() {
    while (!filters_.empty())
        CloseFilter(filters_.size() - 1);
}

uint64_t StateWalk::Random(uint64_t below) {
    // splitmix64: the same seed walks the same way on every machine.
    uint64_t z = (random_state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return (z ^ (z >> 31)) % below;
}

bool StateWalk::Run(uint64_t steps) {
    for (uint64_t i = 0; i < steps && failure_.empty(); ++i) {
        ++step_;
        Watch().Begin("seed " + std::to_string(seed_) + " step " + std::to_string(step_));
        Step();
        if (failure_.empty())
            CheckWorld();
        Watch().End();
    }
    return failure_.empty();
}

void StateWalk::Fail(const std::string& what) {
    if (failure_.empty()) {
        failure_ =
            "seed " + std::to_string(seed_) + ", step " + std::to_string(step_) + ": " + what;
    }
}

bool StateWalk::Expect(bool ok, const std::string& what) {
    if (!ok)
        Fail(what);
    return ok;
}

void StateWalk::Count(const std::string& action, NTSTATUS status) {
    ++coverage_[action + ": " + Hex(status)];
}

std::string StateWalk::Coverage() const {
    std::string text;
    for (const auto& [what, count] : coverage_)
        text += what + " " + std::to_string(count) + "\n";
    return text + "steps " + std::to_string(step_) + "\nframes " + std::to_string(frames_) + "\n";
}

StateWalk::Pin* StateWalk::CameraHolder() {
    for (const auto& filter : filters_) {
        if (filter->pin != nullptr && filter->pin->state != KSSTATE_STOP)
            return filter->pin.get();
    }
    return nullptr;
}

std::vector<uint8_t> StateWalk::Format(int kind) {
    const KS_BITMAPINFOHEADER& own = Rig::Bitmap(default_format_);
    switch (kind) {
        case kWider:
            return Rig::WithBitmap(default_format_, own.biWidth + 16, own.biHeight);
        case kTwentyFourBit: {
            std::vector<uint8_t> format = default_format_;
            Rig::Bitmap(format).biBitCount = 24;
            return format;
        }
        case kNarrower:
            return Rig::WithBitmap(default_format_, own.biWidth - 16, own.biHeight);
        default:
            return default_format_;
    }
}

void StateWalk::Step() {
    if (pulled_out_ && Random(3) == 0) {
        RestartDevice();
        return;
    }
    // A tenth of the steps has one of its first allocations fail, wherever it falls.
    faults_armed_ = Random(10) == 0;
    if (faults_armed_)
        verifier::FailNthAllocation(1 + Random(20));
    const uint64_t pick = Random(100);
    Filter* filter = filters_.empty() ? nullptr : filters_[Random(filters_.size())].get();
    if (pick < 4 || filter == nullptr) {
        if (filters_.size() < 3)
            OpenFilter();
    } else if (pick < 6) {
        CloseFilter(Random(filters_.size()));
    } else if (pick < 16) {
        CreatePin(*filter);
    } else if (pick < 19) {
        ClosePin(*filter);
    } else if (pick < 45) {
        ChangeState(*filter);
    } else if (pick < 50) {
        ChangeFormat(*filter);
    } else if (pick < 80) {
        // Frames flow where a pin runs.
        for (const auto& other : filters_) {
            if (other->pin != nullptr && other->pin->state == KSSTATE_RUN)
                filter = other.get();
        }
        if (filter->pin != nullptr) {
            QueueBuffers(*filter->pin);
            TakeFrames(*filter->pin, false);
        }
    } else if (pick < 98) {
        Property();
    } else if (pick < 99) {
        RestartDevice();
    } else {
        PullOut();
    }
    verifier::ClearFaults();
    faults_armed_ = false;
}

void StateWalk::OpenFilter() {
    auto filter = std::make_unique<Filter>();
    const NTSTATUS status = client::OpenFilter(rig_.device(), nullptr, &filter->filter);
    Count("open filter", status);
    const bool allowed = status == STATUS_SUCCESS ||
                         (faults_armed_ && status == STATUS_INSUFFICIENT_RESOURCES) || pulled_out_;
    if (!Expect(allowed, "opening a filter answered " + Hex(status)) || filter->filter == nullptr)
        return;
    filters_.push_back(std::move(filter));
}

void StateWalk::CloseFilter(size_t index) {
    std::unique_ptr<Filter> filter = std::move(filters_[index]);
    filters_.erase(filters_.begin() + (ptrdiff_t)index);
    const NTSTATUS status = client::CloseFilter(filter->filter);
    Count("close filter", status);
    Expect(status == STATUS_SUCCESS, "closing a filter answered " + Hex(status));
}

void StateWalk::CreatePin(Filter& filter) {
    const int kind = (int)Random(kFormatKinds);
    std::vector<uint8_t> format = Format(kind);
    client::Pin* pin = nullptr;
    const NTSTATUS status = client::CreatePin(
        filter.filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), {true}, &pin);
    Count(std::string("create pin (") + kFormatNames[kind] +
              (filter.pin != nullptr ? ", second)" : ")"),
          status);
    // One pin a filter; a narrower bitmap is no format of this pin.
    const NTSTATUS expected = filter.pin != nullptr ? STATUS_UNSUCCESSFUL
                              : kind == kNarrower   ? STATUS_NO_MATCH
                                                    : STATUS_SUCCESS;
    const bool allowed = status == expected || pulled_out_ ||
                         (faults_armed_ && status == STATUS_INSUFFICIENT_RESOURCES);
    Expect(allowed, std::string("creating a pin of the ") + kFormatNames[kind] +
                        " format answered " + Hex(status) + ", not " + Hex(expected));
    if (pin == nullptr)
        return;
    if (!Expect(filter.pin == nullptr, "a second pin was made on one filter")) {
        client::ClosePin(pin);
        return;
    }
    filter.pin = std::make_unique<Pin>();
    filter.pin->pin = pin;
    filter.pin->takes_camera = kind != kTwentyFourBit;
    filter.pin->extent = Rig::Bitmap(format).biSizeImage;
}

void StateWalk::ClosePin(Filter& filter) {
    if (filter.pin == nullptr)
        return;
    const NTSTATUS status = client::ClosePin(filter.pin->pin);
    Count("close pin", status);
    Expect(status == STATUS_SUCCESS, "closing a pin answered " + Hex(status));
    filter.pin.reset();
}

void StateWalk::ChangeState(Filter& filter) {
    if (filter.pin == nullptr)
        return;
    Pin& pin = *filter.pin;
    const int from = Rank(pin.state);
    // RUN more often than the others, so that frames flow through much of the walk.
    const int to = std::min(3, (int)Random(5));
    // What the class driver's steps and the pin's documented answers make of the request.
    NTSTATUS expected = STATUS_SUCCESS;
    int reached = to;
    if (from == 0 && to > 0) {
        Pin* holder = CameraHolder();
        // The claim comes before the format is looked at.
        if (holder != nullptr && holder != &pin) {
            expected = STATUS_SHARING_VIOLATION;
            reached = 0;
        } else if (!pin.takes_camera) {
            expected = STATUS_INVALID_PARAMETER;
            reached = 0;
        }
    }
    const NTSTATUS status = client::SetPinState(pin.pin, kByRank[to]);
    const int now = Rank(client::PinState(pin.pin));
    Count(std::string("state ") + kStateNames[from] + " to " + kStateNames[to], status);
    bool allowed = status == expected && now == reached;
    // A failed allocation or a camera that has gone may stop the walk up on the way.
    if (!allowed && (faults_armed_ || pulled_out_) && status != STATUS_SUCCESS &&
        expected == STATUS_SUCCESS) {
        allowed = (faults_armed_ ? status == STATUS_INSUFFICIENT_RESOURCES : true) &&
                  now >= std::min(from, to) && now <= std::max(from, to);
    }
    Expect(allowed, std::string(kStateNames[from]) + " to " + kStateNames[to] + " answered " +
                        Hex(status) + " and reached " + kStateNames[now] + ", not " +
                        Hex(expected) + " and " + kStateNames[reached]);
    pin.state = kByRank[now];
    if (from == 3 && now < 3)
        TakeFrames(pin, true);
    // Back at ACQUIRE or STOP the stream ends; the next RUN starts one anew.
    if (now <= 1) {
        pin.last_picture = 0;
        pin.last_time = 0;
    }
}

void StateWalk::ChangeFormat(Filter& filter) {
    if (filter.pin == nullptr)
        return;
    Pin& pin = *filter.pin;
    const int kind = (int)Random(kFormatKinds);
    std::vector<uint8_t> format = Format(kind);
    const NTSTATUS status =
        client::SetPinFormat(pin.pin, reinterpret_cast<const KSDATAFORMAT*>(format.data()));
    Count(std::string("format ") + kFormatNames[kind] + " in " + kStateNames[Rank(pin.state)],
          status);
    const NTSTATUS expected = kind == kNarrower           ? STATUS_NO_MATCH
                              : pin.state != KSSTATE_STOP ? STATUS_INVALID_DEVICE_STATE
                                                          : STATUS_SUCCESS;
    Expect(status == expected, std::string("the ") + kFormatNames[kind] + " format in " +
                                   kStateNames[Rank(pin.state)] + " answered " + Hex(status) +
                                   ", not " + Hex(expected));
    if (status != STATUS_SUCCESS)
        return;
    // A pin in STOP holds no buffer: the completed ones come back, and go with the old size.
    TakeFrames(pin, false);
    for (client::StreamBuffer* buffer : pin.owned)
        client::FreeStreamBuffer(buffer);
    pin.owned.clear();
    pin.idle.clear();
    pin.takes_camera = kind != kTwentyFourBit;
    pin.extent = Rig::Bitmap(format).biSizeImage;
}

void StateWalk::QueueBuffers(Pin& pin) {
    while (pin.owned.size() < 3) {
        client::StreamBuffer* buffer = client::CreateStreamBuffer(128, pin.extent);
        if (buffer == nullptr)
            break;
        pin.owned.push_back(buffer);
        pin.idle.push_back(buffer);
    }
    while (!pin.idle.empty()) {
        const NTSTATUS status = client::SubmitBuffer(pin.pin, pin.idle.back());
        Count(std::string("queue in ") + kStateNames[Rank(pin.state)], status);
        const NTSTATUS expected =
            pin.state == KSSTATE_STOP ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
        if (!Expect(status == expected, "queueing a buffer in " +
                                            std::string(kStateNames[Rank(pin.state)]) +
                                            " answered " + Hex(status)) ||
            status != STATUS_SUCCESS) {
            return;
        }
        pin.idle.pop_back();
    }
}

void StateWalk::TakeFrames(Pin& pin, bool just_left_run) {
    // While running, a frame is given a moment to come.
    const uint32_t wait_ms = pin.state == KSSTATE_RUN && !pulled_out_ ? 50 : 0;
    for (client::StreamBuffer* buffer; (buffer = client::WaitForBuffer(pin.pin, wait_ms));) {
        pin.idle.push_back(buffer);
        const KSSTREAM_HEADER& header = *buffer->header;
        if (header.DataUsed == 0)
            continue;
        ++frames_;
        if (!Expect(pin.state == KSSTATE_RUN || just_left_run,
                    std::string("a frame came in ") + kStateNames[Rank(pin.state)])) {
            return;
        }
        const LONGLONG picture = buffer->frame_info->PictureNumber;
        Expect(picture > pin.last_picture,
               "picture " + std::to_string(picture) + " after " + std::to_string(pin.last_picture));
        pin.last_picture = picture;
        if (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) {
            const LONGLONG time = header.PresentationTime.Time;
            Expect(time >= pin.last_time, "time stamp " + std::to_string(time) + " after " +
                                              std::to_string(pin.last_time));
            pin.last_time = time;
        }
    }
}

void StateWalk::Property() {
    if (filters_.empty())
        return;
    client::Filter* filter = filters_[Random(filters_.size())]->filter;
    const camdrv::RangeItems& range = camdrv::kRangeItems[Random(std::size(camdrv::kRangeItems))];
    const LONG min = camdrv::ItemInfo(range.min).fixed_value;
    const LONG max = camdrv::ItemInfo(range.max).fixed_value;
    const LONG value = min - 20 + (LONG)Random((uint64_t)(max - min + 41));
    const NTSTATUS set = SetItem(filter, range.setting, value);
    Count(std::string("set ") + camdrv::ItemName(range.setting), set);
    LONG now = 0;
    const NTSTATUS get = GetItem(filter, range.setting, &now);
    Count(std::string("get ") + camdrv::ItemName(range.setting), get);
    if (pulled_out_ || faults_armed_)
        return;
    Expect(set == STATUS_SUCCESS && get == STATUS_SUCCESS,
           std::string(camdrv::ItemName(range.setting)) + ": set answered " + Hex(set) + ", get " +
               Hex(get));
    // Out of range is clamped, never refused; the sensor's settings are unsigned numbers, so a
    // negative one is past their top.
    const bool is_unsigned =
        range.setting == CameraItem::Exposure || range.setting == CameraItem::GlobalGain;
    const LONG clamped = is_unsigned && value < 0 ? max : std::clamp(value, min, max);
    Expect(now == clamped, std::string(camdrv::ItemName(range.setting)) + " set to " +
                               std::to_string(value) + " reads " + std::to_string(now) + ", not " +
                               std::to_string(clamped));
}

// The system stops the device once every client has closed it; a camera that was pulled out goes
// with its device, and comes back as a new one.
void StateWalk::RestartDevice() {
    verifier::ClearFaults();
    faults_armed_ = false;
    while (!filters_.empty())
        CloseFilter(filters_.size() - 1);
    if (pulled_out_) {
        if (!Expect(rig_.Replug() == STATUS_SUCCESS, "the camera could not be added again"))
            return;
        rig_.sim().SetFaults({});
        pulled_out_ = false;
    } else {
        rig_.Stop();
    }
    const NTSTATUS status = rig_.Start();
    Count("restart device", status);
    if (!Expect(status == STATUS_SUCCESS, "the device did not start again: " + Hex(status)))
        return;
    // A new device starts at the sensor's size, which is not kept: the walk's is asked for again.
    client::Filter* filter = nullptr;
    if (!Expect(client::OpenFilter(rig_.device(), nullptr, &filter) == STATUS_SUCCESS,
                "no filter opened on the restarted device")) {
        return;
    }
    auto size =
        PropertyRecord<camdrv::ImageSizeRequest>(CameraItem::ImageSize, KSPROPERTY_TYPE_SET);
    size.width = WalkRig().width;
    size.height = WalkRig().height;
    Expect(SendRecord(filter, &size) == STATUS_SUCCESS, "the walk's image size was refused");
    client::CloseFilter(filter);
}

void StateWalk::PullOut() {
    Count("pull out", STATUS_SUCCESS);
    rig_.sim().SetFaults({.disconnected = true});
    pulled_out_ = true;
}

void StateWalk::CheckWorld() {
    for (const std::string& violation : verifier::TakeViolations())
        Fail("verifier: " + violation);
    std::string error;
    Expect(platform::registry::CheckStoreFile(rig_.registry_file(), &error),
           "the settings file does not read: " + error);
    if (filters_.empty() && !pulled_out_) {
        const size_t blocks = verifier::OutstandingBlocks();
        Expect(blocks == idle_blocks_, "with nothing open the pool holds " +
                                           std::to_string(blocks) + " blocks, not " +
                                           std::to_string(idle_blocks_));
    }
}

}  // namespace camtest
