#include "sim/sim_camera.h"

#include <algorithm>
#include <chrono>

#include "sim/device_memory.h"
#include "sim/register_frame.h"

namespace sim {

namespace {

// Larger than any window the sensor can read out; a bigger announcement is a host fault.
constexpr uint32_t kMaxFrameSize = 64u << 20;

int EndpointIndex(uint8_t endpoint_address) {
    switch (endpoint_address) {
        case kCommandEndpoint:
            return 0;
        case kReplyEndpoint:
            return 1;
        case kFrameEndpoint:
            return 2;
        default:
            return -1;
    }
}

// A short completion carries about half the bytes, never a whole number of packets (which would
// not end the transfer).
uint32_t ShortLength(uint32_t length) {
    uint32_t result = length / 2;
    if (result > 0 && result % kMaxPacket == 0) {
        --result;
    }
    return result;
}

std::string Hex(uint32_t value) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    text += kDigits[(value >> 4) & 0xF];
    text += kDigits[value & 0xF];
    return text;
}

}  // namespace

SimCamera::SimCamera(uint64_t seed) : scene_(MakeChartScene()), seed_(seed) {
    sender_ = std::thread([this] { SenderLoop(); });
}

SimCamera::~SimCamera() {
    {
        Lock lock(mutex_);
        stopping_ = true;
        AbortFrameLocked();
    }
    changed_.notify_all();
    sender_.join();
}

template <typename Fn>
bool SimCamera::WithLink(Lock& lock, Fn fn) {
    platform::UsbDeviceLink* link = link_;
    if (link == nullptr) {
        return false;
    }
    ++link_users_;
    lock.unlock();
    fn(link);
    lock.lock();
    --link_users_;
    changed_.notify_all();
    return true;
}

void SimCamera::FailPendingLocked(Lock& lock, uint8_t endpoint_address, USBD_STATUS status) {
    WithLink(lock, [&](platform::UsbDeviceLink* link) {
        const size_t pending = link->PendingInTransfers(endpoint_address);
        for (size_t i = 0; i < pending; ++i) {
            link->FailIn(endpoint_address, status);
        }
    });
}

// ---- UsbDeviceModel ----------------------------------------------------------------------------

void SimCamera::Attach(platform::UsbDeviceLink* link) {
    Lock lock(mutex_);
    if (link == nullptr) {
        AbortFrameLocked();
        phase_ = FramePhase::kIdle;
        link_ = nullptr;
        changed_.wait(lock, [&] { return link_users_ == 0; });
        return;
    }
    link_ = link;
}

bool SimCamera::GetDescriptor(uint8_t type, uint8_t index, uint16_t, std::vector<uint8_t>* out) {
    Lock lock(mutex_);
    if (disconnected_ || silent_ || out == nullptr) {
        return false;
    }
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
        *out = DeviceDescriptor();
        return true;
    }
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
        *out = ConfigurationDescriptor(hostile_);
        return true;
    }
    return false;  // no strings, one configuration
}

bool SimCamera::SetConfiguration(uint8_t value) {
    Lock lock(mutex_);
    if (disconnected_ || value > 1) {
        return false;
    }
    configuration_ = value;
    if (value == 0) {
        AbortFrameLocked();
        phase_ = FramePhase::kIdle;
    }
    return true;
}

platform::UsbOutResult SimCamera::Out(uint8_t endpoint_address, const uint8_t* data,
                                      uint32_t length) {
    Lock lock(mutex_);
    if (disconnected_) {
        return {USBD_STATUS_DEV_NOT_RESPONDING, 0, false};
    }
    if (silent_) {
        return {USBD_STATUS_SUCCESS, 0, true};
    }
    if (endpoint_address != kCommandEndpoint) {
        AddErrorLocked(0, "OUT transfer on endpoint " + Hex(endpoint_address));
        return {USBD_STATUS_STALL_PID, 0, false};
    }
    if (stalled_[0]) {
        return {USBD_STATUS_STALL_PID, 0, false};
    }
    if (out_fault_.count > 0) {
        // The packet does not arrive whole, so the camera does not act on it.
        --out_fault_.count;
        if (out_fault_.fault == TransferFault::kShort) {
            return {USBD_STATUS_SUCCESS, ShortLength(length), false};
        }
        return {out_fault_.status, 0, false};
    }
    if (configuration_ == 0) {
        AddErrorLocked(length > 0 ? data[0] : 0, "command before the device was configured");
        return {USBD_STATUS_REQUEST_FAILED, 0, false};
    }
    if (length != kPacketSize || data == nullptr) {
        AddErrorLocked(length > 0 && data != nullptr ? data[0] : 0,
                       "command packet of " + std::to_string(length) + " bytes");
        return {USBD_STATUS_SUCCESS, length, false};
    }
    Packet packet;
    std::copy_n(data, kPacketSize, packet.begin());
    HandleCommand(lock, packet);
    return {USBD_STATUS_SUCCESS, length, false};
}

void SimCamera::InTransferQueued(uint8_t endpoint_address, uint32_t length) {
    Lock lock(mutex_);
    const int index = EndpointIndex(endpoint_address);
    if (disconnected_) {
        WithLink(lock, [&](platform::UsbDeviceLink* link) {
            link->FailIn(endpoint_address, USBD_STATUS_DEV_NOT_RESPONDING);
        });
        return;
    }
    if (index > 0 && stalled_[index]) {
        WithLink(lock, [&](platform::UsbDeviceLink* link) {
            link->FailIn(endpoint_address, USBD_STATUS_STALL_PID);
        });
        return;
    }
    if (endpoint_address == kFrameEndpoint &&
        (phase_ == FramePhase::kRequested || phase_ == FramePhase::kArmed)) {
        queued_frame_transfers_.push_back(length);
    }
}

USBD_STATUS SimCamera::ResetPipe(uint8_t endpoint_address) {
    Lock lock(mutex_);
    if (disconnected_) {
        return USBD_STATUS_DEV_NOT_RESPONDING;
    }
    const int index = EndpointIndex(endpoint_address);
    if (index < 0) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    stalled_[index] = false;
    return USBD_STATUS_SUCCESS;
}

uint32_t SimCamera::PortStatus() {
    Lock lock(mutex_);
    return disconnected_ ? USBD_PORT_CONNECTED : USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
}

void SimCamera::ResetPort() {
    Lock lock(mutex_);
    disconnected_ = false;
    std::fill(std::begin(stalled_), std::end(stalled_), false);
    AbortFrameLocked();
    phase_ = FramePhase::kIdle;
}

// ---- Commands ----------------------------------------------------------------------------------

void SimCamera::AddErrorLocked(uint8_t code, std::string what) {
    errors_.push_back({code, std::move(what)});
}

void SimCamera::HandleCommand(Lock& lock, const Packet& packet) {
    commands_.push_back(packet);
    const uint8_t code = packet[0];
    auto require_zero_from = [&](size_t first) {
        for (size_t i = first; i < kPacketSize; ++i) {
            if (packet[i] != 0) {
                AddErrorLocked(code,
                               "command " + Hex(code) + " has nonzero byte " + std::to_string(i));
                return;
            }
        }
    };
    switch (code) {
        case 0x02:
            require_zero_from(1);
            HandleFrameRequest(lock);
            break;
        case 0x03:
            require_zero_from(1);
            HandleGo();
            break;
        case 0x04:
            require_zero_from(6);
            HandleRegisterWrite(packet);
            break;
        case 0x06:
            require_zero_from(1);
            awake_ = true;
            break;
        case 0x0A:
            if (packet[1] != 0x01) {
                AddErrorLocked(code, "capture set-up with argument " + Hex(packet[1]));
            }
            require_zero_from(2);
            break;
        case 0x25:
            require_zero_from(3);
            HandleItemSet(packet);
            break;
        case 0x26: {
            require_zero_from(2);
            const uint8_t item = packet[1];
            SendReply(lock, item == 15 ? clock_setting_ : items_[item], code);
            break;
        }
        case 0x40:
            raw_commands_.push_back(packet);
            break;
        case 0x41:
            if (packet[1] != 0x51 || packet[2] != 0x02 || packet[3] != 0x01) {
                AddErrorLocked(code, "memory read with a malformed header");
            }
            require_zero_from(6);
            // Answered even when malformed: the host waits for its replies without a time-out.
            SendReply(lock, DeviceMemoryByte((uint32_t{packet[4]} << 8) | packet[5]), code);
            break;
        default:
            AddErrorLocked(code, "unknown command " + Hex(code));
            break;
    }
}

void SimCamera::HandleRegisterWrite(const Packet& packet) {
    const DecodedRegisterWrite write = DecodeRegisterWrite(packet.data());
    if (!write.ok) {
        AddErrorLocked(packet[0], write.error);
        return;
    }
    registers_[write.number] = write.value;
    register_writes_.push_back({write.number, write.value, write.bits});
}

void SimCamera::HandleItemSet(const Packet& packet) {
    const uint8_t item = packet[1];
    const uint8_t value = packet[2];
    items_[item] = value;
    item_writes_.push_back({item, value});
    if (item == 15) {
        clock_setting_ = value;
    } else if (item == 11) {
        // A trigger from before the mode change must not release a frame of the new mode.
        trigger_latched_ = false;
        if (value == 0 && !host_trigger_ && phase_ == FramePhase::kWaitingTrigger) {
            StartFrameLocked(waiting_frame_number_);
        }
    }
}

void SimCamera::SendReply(Lock& lock, uint8_t answer, uint8_t code) {
    // The first packet is a status record whose byte 0 differs from the answer, so a host that
    // keeps the wrong packet gets a wrong value.
    Packet decoy{};
    decoy[0] = static_cast<uint8_t>(answer ^ 0xFF);
    decoy[1] = code;
    decoy[2] = 0xA5;
    Packet reply{};
    reply[0] = answer;
    for (const Packet* packet : {&decoy, &reply}) {
        if (stalled_[1]) {
            continue;  // the host's read stalls instead (InTransferQueued)
        }
        uint32_t length = kPacketSize;
        bool fail = false;
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        if (reply_fault_.count > 0) {
            --reply_fault_.count;
            fail = reply_fault_.fault == TransferFault::kError;
            status = reply_fault_.status;
            length = ShortLength(kPacketSize);
        }
        WithLink(lock, [&](platform::UsbDeviceLink* link) {
            if (fail) {
                link->FailIn(kReplyEndpoint, status);
            } else {
                link->SendIn(kReplyEndpoint, packet->data(), length);
            }
        });
    }
}

// ---- Frame read-out ----------------------------------------------------------------------------

uint32_t SimCamera::AnnouncedFrameSizeLocked() const {
    return uint32_t{items_[0]} | (uint32_t{items_[1]} << 8) | (uint32_t{items_[2]} << 16) |
           (uint32_t{items_[3]} << 24);
}

SensorSettings SimCamera::SettingsLocked() const {
    SensorSettings settings;
    settings.width = window_width_;
    settings.height = window_height_;
    settings.exposure_a = registers_[158] + 64 * registers_[159];
    settings.exposure_b = registers_[161] + 64 * registers_[162];
    settings.gain = registers_[6] + 64 * registers_[7];
    settings.seed = seed_;
    settings.noise = noise_;
    return settings;
}

void SimCamera::AbortFrameLocked() {
    ++generation_;
    pending_job_.reset();
    changed_.notify_all();
}

bool SimCamera::LiveLocked(const FrameJob& job) const {
    return !stopping_ && link_ != nullptr && generation_ == job.generation;
}

void SimCamera::HandleFrameRequest(Lock& lock) {
    if (phase_ == FramePhase::kRequested) {
        phase_ = FramePhase::kArmed;
        return;
    }
    // A new request: whatever of an earlier frame the host has not taken would misalign this one.
    AbortFrameLocked();
    phase_ = FramePhase::kRequested;
    queued_frame_transfers_.clear();
    changed_.wait(lock, [&] { return link_users_ == 0; });
    WithLink(lock, [](platform::UsbDeviceLink* link) { link->FlushIn(kFrameEndpoint); });
}

void SimCamera::HandleGo() {
    if (phase_ != FramePhase::kArmed) {
        AddErrorLocked(0x03, "go without a frame request and arm");
        return;
    }
    const uint64_t frame_number = next_frame_number_++;
    if (drop_frames_ > 0) {
        --drop_frames_;
        phase_ = FramePhase::kIdle;
        return;
    }
    if (items_[11] != 0 || host_trigger_) {
        if (!trigger_latched_) {
            waiting_frame_number_ = frame_number;
            phase_ = FramePhase::kWaitingTrigger;
            return;
        }
        trigger_latched_ = false;
    }
    StartFrameLocked(frame_number);
}

void SimCamera::StartFrameLocked(uint64_t frame_number) {
    phase_ = FramePhase::kIdle;
    const uint32_t size = AnnouncedFrameSizeLocked();
    if (size == 0 || size > kMaxFrameSize) {
        AddErrorLocked(0x03, "announced frame size " + std::to_string(size));
        return;
    }
    if (silent_ || stalled_[2] || link_ == nullptr) {
        return;
    }
    auto job = std::make_unique<FrameJob>();
    job->generation = generation_;
    job->frame_number = frame_number;
    job->settings = SettingsLocked();
    job->scene = scene_;
    job->size = size;
    job->plan = PlanFrameLocked(size);
    job->started = std::chrono::steady_clock::now();
    pending_job_ = std::move(job);
    phase_ = FramePhase::kSending;
    changed_.notify_all();
}

std::vector<SimCamera::Segment> SimCamera::PlanFrameLocked(uint32_t size) {
    if (frame_fault_.count == 0) {
        return {Segment{0, size, false, false, USBD_STATUS_SUCCESS}};
    }
    // Faults hit whole transfers, so the frame is cut where the host's transfers end; the bytes
    // a faulted transfer misses are lost and the rest of the frame stays in place.
    std::vector<Segment> plan;
    uint32_t offset = 0;
    size_t next = 0;
    while (offset < size) {
        uint32_t length = size - offset;
        while (next < queued_frame_transfers_.size() && queued_frame_transfers_[next] == 0) {
            ++next;
        }
        if (next < queued_frame_transfers_.size()) {
            length = std::min(length, queued_frame_transfers_[next++]);
        }
        Segment segment{offset, length, false, false, USBD_STATUS_SUCCESS};
        if (frame_fault_.count > 0) {
            --frame_fault_.count;
            if (frame_fault_.fault == TransferFault::kError) {
                segment.send = 0;
                segment.fail = true;
                segment.status = frame_fault_.status;
            } else {
                segment.send = ShortLength(length);
                segment.short_end = true;
            }
        }
        plan.push_back(segment);
        offset += length;
    }
    return plan;
}

void SimCamera::SenderLoop() {
    Lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || pending_job_ != nullptr; });
        if (stopping_) {
            return;
        }
        const std::unique_ptr<FrameJob> job = std::move(pending_job_);
        sender_busy_ = true;
        SendFrame(lock, *job);
        sender_busy_ = false;
        changed_.notify_all();
    }
}

void SimCamera::SendFrame(Lock& lock, const FrameJob& job) {
    // Rows are rendered just ahead of the read-out, so rendering overlaps the link's pacing.
    constexpr uint32_t kChunk = 16 * 1024;  // whole packets, so only a frame's end is short
    const uint32_t width = job.settings.width;
    const uint32_t height = job.settings.height;
    lock.unlock();
    std::vector<uint8_t> buffer(std::max<size_t>(job.size, size_t{width} * height), 0);
    FrameRenderer renderer(job.settings, *job.scene, job.frame_number);
    lock.lock();
    uint32_t rendered_rows = 0;
    // The link paces the frame from its release: the sender's own set-up overlaps the first
    // pieces' time on the wire, as a camera's read-out starts at the go.
    const auto start = job.started;
    uint64_t wire_bytes = 0;

    // A frame whose last piece went to the link is sent, even when the host has already asked for
    // the next one while that piece was being handed over.
    const Segment* last = &job.plan.back();
    bool handed_over = false;
    for (const Segment& segment : job.plan) {
        if (!LiveLocked(job)) {
            return;
        }
        if (segment.fail) {
            handed_over = WithLink(lock,
                                   [&](platform::UsbDeviceLink* link) {
                                       link->FailIn(kFrameEndpoint, segment.status);
                                   }) &&
                          &segment == last;
            continue;
        }
        uint32_t done = 0;
        do {
            const uint32_t chunk = std::min(kChunk, segment.send - done);
            const uint64_t end = uint64_t{segment.offset} + done + chunk;
            if (width > 0) {
                const uint32_t rows =
                    static_cast<uint32_t>(std::min<uint64_t>(height, (end + width - 1) / width));
                if (rows > rendered_rows) {
                    lock.unlock();
                    renderer.Rows(rendered_rows, rows,
                                  buffer.data() + size_t{rendered_rows} * width);
                    lock.lock();
                    rendered_rows = rows;
                }
            }
            wire_bytes += chunk;
            if (link_speed_ != 0) {
                const auto deadline =
                    start + std::chrono::nanoseconds(wire_bytes * 1'000'000'000ull / link_speed_);
                changed_.wait_until(lock, deadline, [&] { return !LiveLocked(job); });
            }
            if (!LiveLocked(job)) {
                return;
            }
            const uint8_t* data = buffer.data() + segment.offset + done;
            handed_over = WithLink(lock,
                                   [&](platform::UsbDeviceLink* link) {
                                       link->SendIn(kFrameEndpoint, data, chunk);
                                   }) &&
                          &segment == last && done + chunk >= segment.send;
            done += chunk;
        } while (done < segment.send);
    }
    if (handed_over && !stopping_) {
        RecordSentLocked(job, buffer);
    }
    if (LiveLocked(job) && phase_ == FramePhase::kSending) {
        phase_ = FramePhase::kIdle;
    }
}

void SimCamera::RecordSentLocked(const FrameJob& job, const std::vector<uint8_t>& buffer) {
    sent_frames_.push_back(job.frame_number);
    if (keep_sent_ > 0) {
        kept_frames_.emplace_back(job.frame_number,
                                  std::vector<uint8_t>(buffer.begin(), buffer.begin() + job.size));
        while (kept_frames_.size() > keep_sent_) {
            kept_frames_.pop_front();
        }
    }
    changed_.notify_all();
}

bool SimCamera::FireTrigger() {
    Lock lock(mutex_);
    if (phase_ == FramePhase::kWaitingTrigger) {
        StartFrameLocked(waiting_frame_number_);
        return true;
    }
    trigger_latched_ = true;
    return false;
}

void SimCamera::SetHostTrigger(bool on) {
    Lock lock(mutex_);
    host_trigger_ = on;
    if (!on && items_[11] == 0 && phase_ == FramePhase::kWaitingTrigger) {
        StartFrameLocked(waiting_frame_number_);
    }
}

// ---- Host settings -----------------------------------------------------------------------------

void SimCamera::SetSceneChart() {
    Lock lock(mutex_);
    scene_ = MakeChartScene();
}

void SimCamera::SetSceneFlat(uint8_t level) {
    Lock lock(mutex_);
    scene_ = MakeFlatScene(level);
}

bool SimCamera::SetScenePng(const std::string& path, PngFit fit, std::string* error) {
    std::shared_ptr<const Scene> scene = LoadPngScene(path, fit, error);
    if (scene == nullptr) {
        return false;
    }
    Lock lock(mutex_);
    scene_ = std::move(scene);
    return true;
}

void SimCamera::SetWindow(uint32_t width, uint32_t height) {
    Lock lock(mutex_);
    window_width_ = width;
    window_height_ = height;
}

void SimCamera::SetSeed(uint64_t seed) {
    Lock lock(mutex_);
    seed_ = seed;
}

void SimCamera::SetNoise(bool enabled) {
    Lock lock(mutex_);
    noise_ = enabled;
}

void SimCamera::SetClockSetting(uint8_t value) {
    Lock lock(mutex_);
    clock_setting_ = value;
}

void SimCamera::SetLinkSpeed(uint64_t bytes_per_second) {
    Lock lock(mutex_);
    link_speed_ = bytes_per_second;
    changed_.notify_all();
}

std::vector<uint8_t> SimCamera::RenderFrame(uint64_t frame_number) const {
    SensorSettings settings;
    std::shared_ptr<const Scene> scene;
    uint32_t size = 0;
    {
        Lock lock(mutex_);
        settings = SettingsLocked();
        scene = scene_;
        size = AnnouncedFrameSizeLocked();
    }
    return RenderRawFrame(settings, *scene, frame_number, size);
}

// ---- Faults ------------------------------------------------------------------------------------

void SimCamera::FailNextTransfers(uint8_t endpoint_address, uint32_t count, TransferFault fault,
                                  USBD_STATUS status) {
    Lock lock(mutex_);
    FaultCounter* counter = endpoint_address == kCommandEndpoint ? &out_fault_
                            : endpoint_address == kReplyEndpoint ? &reply_fault_
                            : endpoint_address == kFrameEndpoint ? &frame_fault_
                                                                 : nullptr;
    if (counter != nullptr) {
        *counter = {count, fault, status};
    }
}

void SimCamera::StallEndpoint(uint8_t endpoint_address) {
    Lock lock(mutex_);
    const int index = EndpointIndex(endpoint_address);
    if (index < 0) {
        return;
    }
    stalled_[index] = true;
    if (endpoint_address == kFrameEndpoint) {
        AbortFrameLocked();
        phase_ = FramePhase::kIdle;
    }
    if (USB_ENDPOINT_DIRECTION_IN(endpoint_address)) {
        FailPendingLocked(lock, endpoint_address, USBD_STATUS_STALL_PID);
    }
}

void SimCamera::DropNextFrame() {
    Lock lock(mutex_);
    ++drop_frames_;
}

void SimCamera::SetSilent(bool silent) {
    Lock lock(mutex_);
    silent_ = silent;
    if (silent) {
        AbortFrameLocked();
        phase_ = FramePhase::kIdle;
    }
}

void SimCamera::Disconnect() {
    Lock lock(mutex_);
    disconnected_ = true;
    AbortFrameLocked();
    phase_ = FramePhase::kIdle;
    FailPendingLocked(lock, kReplyEndpoint, USBD_STATUS_DEV_NOT_RESPONDING);
    FailPendingLocked(lock, kFrameEndpoint, USBD_STATUS_DEV_NOT_RESPONDING);
}

void SimCamera::SetHostileDescriptors(HostileDescriptors kind) {
    Lock lock(mutex_);
    hostile_ = kind;
}

// ---- Records -----------------------------------------------------------------------------------

std::vector<Packet> SimCamera::Commands() const {
    Lock lock(mutex_);
    return commands_;
}

std::vector<RegisterWrite> SimCamera::RegisterWrites() const {
    Lock lock(mutex_);
    return register_writes_;
}

std::vector<ItemWrite> SimCamera::ItemWrites() const {
    Lock lock(mutex_);
    return item_writes_;
}

std::vector<Packet> SimCamera::RawCommands() const {
    Lock lock(mutex_);
    return raw_commands_;
}

std::vector<ProtocolError> SimCamera::ProtocolErrors() const {
    Lock lock(mutex_);
    return errors_;
}

void SimCamera::ClearRecords() {
    Lock lock(mutex_);
    commands_.clear();
    register_writes_.clear();
    item_writes_.clear();
    raw_commands_.clear();
    errors_.clear();
    sent_frames_.clear();
    kept_frames_.clear();
}

uint32_t SimCamera::Register(uint32_t number) const {
    Lock lock(mutex_);
    return number < kRegisterCount ? registers_[number] : 0;
}

uint8_t SimCamera::Item(uint8_t item) const {
    Lock lock(mutex_);
    return items_[item];
}

uint32_t SimCamera::AnnouncedFrameSize() const {
    Lock lock(mutex_);
    return AnnouncedFrameSizeLocked();
}

bool SimCamera::Configured() const {
    Lock lock(mutex_);
    return configuration_ != 0;
}

bool SimCamera::Awake() const {
    Lock lock(mutex_);
    return awake_;
}

std::vector<uint64_t> SimCamera::SentFrames() const {
    Lock lock(mutex_);
    return sent_frames_;
}

void SimCamera::KeepSentFrames(size_t count) {
    Lock lock(mutex_);
    keep_sent_ = count;
    while (kept_frames_.size() > keep_sent_) {
        kept_frames_.pop_front();
    }
}

std::vector<uint8_t> SimCamera::SentFrameBytes(uint64_t frame_number) const {
    Lock lock(mutex_);
    for (const auto& [number, bytes] : kept_frames_) {
        if (number == frame_number) {
            return bytes;
        }
    }
    return {};
}

bool SimCamera::WaitForSentFrames(size_t count, uint32_t timeout_ms) const {
    Lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return sent_frames_.size() >= count; });
}

bool SimCamera::WaitSenderIdle(uint32_t timeout_ms) const {
    Lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return !sender_busy_ && pending_job_ == nullptr; });
}

}  // namespace sim
