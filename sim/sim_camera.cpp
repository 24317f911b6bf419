#include "sim/sim_camera.h"

#include <algorithm>
#include <string>

#include "sim/sensor.h"

namespace sim {

namespace {

uint8_t FirstByte(const uint8_t* data, uint32_t length) {
    return length > 0 && data != nullptr ? data[0] : 0;
}

}  // namespace

SimCamera::SimCamera()
    : commands_(link_, recorder_, faults_), frames_(link_, recorder_, faults_, commands_, setup_) {}

SimCamera::~SimCamera() = default;

// ---- UsbDeviceModel ----------------------------------------------------------------------------

void SimCamera::Attach(platform::UsbDeviceLink* link) {
    Link::Lock lock = link_.Hold();
    if (link == nullptr) {
        frames_.Abort(lock);
    }
    link_.Attach(lock, link);
}

bool SimCamera::GetDescriptor(uint8_t type, uint8_t index, uint16_t, std::vector<uint8_t>* out) {
    Link::Lock lock = link_.Hold();
    if (faults_.disconnected || faults_.silent || out == nullptr || index != 0) {
        return false;
    }
    if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
        *out = faults_.device_descriptor.empty() ? DeviceDescriptor() : faults_.device_descriptor;
        return true;
    }
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        *out = faults_.configuration_descriptor.empty()
                   ? ConfigurationDescriptor(faults_.descriptors)
                   : faults_.configuration_descriptor;
        return true;
    }
    return false;  // no strings, one configuration
}

bool SimCamera::SetConfiguration(uint8_t value) {
    Link::Lock lock = link_.Hold();
    if (faults_.disconnected || value > kConfigurationValue) {
        return false;
    }
    commands_.Configure(lock, value);
    if (value == 0) {
        frames_.Abort(lock);
    }
    return true;
}

platform::UsbOutResult SimCamera::Out(uint8_t endpoint_address, const uint8_t* data,
                                      uint32_t length) {
    Link::Lock lock = link_.Hold();
    if (const std::optional<platform::UsbOutResult> refusal =
            Refusal(lock, endpoint_address, data, length)) {
        return *refusal;
    }
    Packet packet;
    std::copy_n(data, kPacketSize, packet.begin());
    RunFrameCommand(lock, commands_.Execute(lock, packet));
    return {USBD_STATUS_SUCCESS, length, false};
}

std::optional<platform::UsbOutResult> SimCamera::Refusal(const Link::Lock& lock,
                                                         uint8_t endpoint_address,
                                                         const uint8_t* data, uint32_t length) {
    if (faults_.disconnected) {
        return platform::UsbOutResult{USBD_STATUS_DEV_NOT_RESPONDING, 0, false};
    }
    if (faults_.silent) {
        return platform::UsbOutResult{USBD_STATUS_SUCCESS, 0, true};
    }
    if (endpoint_address != kCommandEndpoint) {
        recorder_.AddError(0, "OUT transfer on endpoint " + HexByte(endpoint_address));
        return platform::UsbOutResult{USBD_STATUS_STALL_PID, 0, false};
    }
    EndpointFaults& faults = faults_.command;
    if (faults.stalled) {
        return platform::UsbOutResult{USBD_STATUS_STALL_PID, 0, false};
    }
    if (faults.next.Take()) {
        // The packet does not arrive whole, so the camera does not act on it.
        if (faults.next.kind == TransferFault::kShort) {
            return platform::UsbOutResult{USBD_STATUS_SUCCESS, ShortLength(length), false};
        }
        return platform::UsbOutResult{faults.next.status, 0, false};
    }
    if (commands_.state(lock).configuration == 0) {
        recorder_.AddError(FirstByte(data, length), "command before the device was configured");
        return platform::UsbOutResult{USBD_STATUS_REQUEST_FAILED, 0, false};
    }
    if (length != kPacketSize || data == nullptr) {
        recorder_.AddError(FirstByte(data, length),
                           "command packet of " + std::to_string(length) + " bytes");
        return platform::UsbOutResult{USBD_STATUS_SUCCESS, length, false};
    }
    return std::nullopt;
}

void SimCamera::RunFrameCommand(Link::Lock& lock, FrameCommand command) {
    switch (command) {
        case FrameCommand::kRequest:
            frames_.Request(lock);
            break;
        case FrameCommand::kGo:
            frames_.Go(lock);
            break;
        case FrameCommand::kTriggerModeChanged:
            frames_.TriggerModeChanged(lock);
            break;
        case FrameCommand::kNone:
            break;
    }
}

void SimCamera::InTransferQueued(uint8_t endpoint_address, uint32_t length) {
    Link::Lock lock = link_.Hold();
    if (faults_.disconnected) {
        link_.FailIn(lock, endpoint_address, USBD_STATUS_DEV_NOT_RESPONDING);
        return;
    }
    const EndpointFaults* faults = faults_.Endpoint(endpoint_address);
    if (faults != nullptr && USB_ENDPOINT_DIRECTION_IN(endpoint_address) && faults->stalled) {
        link_.FailIn(lock, endpoint_address, USBD_STATUS_STALL_PID);
        return;
    }
    if (endpoint_address == kFrameEndpoint) {
        frames_.TransferQueued(lock, length);
    }
    if (endpoint_address == kReplyEndpoint) {
        commands_.ReleaseLateReplies(lock);
    }
}

USBD_STATUS SimCamera::ResetPipe(uint8_t endpoint_address) {
    Link::Lock lock = link_.Hold();
    if (faults_.disconnected) {
        return USBD_STATUS_DEV_NOT_RESPONDING;
    }
    EndpointFaults* faults = faults_.Endpoint(endpoint_address);
    if (faults == nullptr) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    faults->stalled = false;
    return USBD_STATUS_SUCCESS;
}

uint32_t SimCamera::PortStatus() {
    Link::Lock lock = link_.Hold();
    return faults_.disconnected ? USBD_PORT_CONNECTED : USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
}

void SimCamera::ResetPort() {
    Link::Lock lock = link_.Hold();
    faults_.disconnected = false;
    for (EndpointFaults* faults : {&faults_.command, &faults_.reply, &faults_.frame}) {
        faults->stalled = false;
    }
    frames_.Abort(lock);
}

// ---- The read-out ------------------------------------------------------------------------------

bool SimCamera::SetScene(std::shared_ptr<const Scene> scene) {
    if (scene == nullptr) {
        return false;
    }
    Link::Lock lock = link_.Hold();
    setup_.scene = std::move(scene);
    return true;
}

void SimCamera::SetWindow(uint32_t width, uint32_t height) {
    Link::Lock lock = link_.Hold();
    setup_.width = width;
    setup_.height = height;
}

void SimCamera::SetSeed(uint64_t seed) {
    Link::Lock lock = link_.Hold();
    setup_.seed = seed;
}

void SimCamera::SetNoise(bool enabled) {
    Link::Lock lock = link_.Hold();
    setup_.noise = enabled;
}

void SimCamera::SetLinkSpeed(uint64_t bytes_per_second) {
    Link::Lock lock = link_.Hold();
    setup_.link_speed = bytes_per_second;
    link_.Notify();
}

void SimCamera::SetClockSetting(uint8_t value) {
    Link::Lock lock = link_.Hold();
    commands_.SetClockSetting(lock, value);
}

std::vector<uint8_t> SimCamera::RenderFrame(uint64_t frame_number) const {
    Link::Lock lock = link_.Hold();
    const FrameSource source = frames_.Source(lock);
    lock.unlock();
    return RenderRawFrame(source.settings, source.scene, frame_number, source.size);
}

bool SimCamera::FireTrigger() {
    Link::Lock lock = link_.Hold();
    return frames_.FireTrigger(lock);
}

void SimCamera::SetHostTrigger(bool on) {
    Link::Lock lock = link_.Hold();
    frames_.SetHostTrigger(lock, on);
}

bool SimCamera::WaitSenderIdle(uint32_t timeout_ms) const {
    return frames_.WaitIdle(timeout_ms);
}

uint64_t SimCamera::SenderCpuNanoseconds() const {
    return frames_.CpuNanoseconds();
}

// ---- Faults and state --------------------------------------------------------------------------

void SimCamera::SetFaults(const Faults& faults) {
    Link::Lock lock = link_.Hold();
    const Faults before = faults_;
    faults_ = faults;
    ApplyNewFaults(lock, before);
}

void SimCamera::ApplyNewFaults(Link::Lock& lock, const Faults& before) {
    const bool frame_stalled = faults_.frame.stalled && !before.frame.stalled;
    const bool reply_stalled = faults_.reply.stalled && !before.reply.stalled;
    const bool silenced = faults_.silent && !before.silent;
    const bool disconnected = faults_.disconnected && !before.disconnected;
    if (frame_stalled || silenced || disconnected) {
        frames_.Abort(lock);
    }
    if (reply_stalled) {
        link_.FailPending(lock, kReplyEndpoint, USBD_STATUS_STALL_PID);
    }
    if (frame_stalled) {
        link_.FailPending(lock, kFrameEndpoint, USBD_STATUS_STALL_PID);
    }
    if (disconnected) {
        link_.FailPending(lock, kReplyEndpoint, USBD_STATUS_DEV_NOT_RESPONDING);
        link_.FailPending(lock, kFrameEndpoint, USBD_STATUS_DEV_NOT_RESPONDING);
    }
}

Faults SimCamera::faults() const {
    Link::Lock lock = link_.Hold();
    return faults_;
}

CameraState SimCamera::state() const {
    Link::Lock lock = link_.Hold();
    return commands_.state(lock);
}

}  // namespace sim
