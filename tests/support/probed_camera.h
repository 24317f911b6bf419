// The simulated camera with probes on its port: the IN transfers the bus queued, pipe and port
// resets, descriptors or a port status presented in place of its own, and the camera pulled out
// at a chosen transfer.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "sim/sim_camera.h"

namespace camtest {

class ProbedCamera : public sim::SimCamera {
  public:
    void InTransferQueued(uint8_t endpoint_address, uint32_t length) override {
        Transfer();
        {
            std::lock_guard<std::mutex> lock(probe_mutex_);
            queued_.push_back({endpoint_address, length});
        }
        sim::SimCamera::InTransferQueued(endpoint_address, length);
    }
    bool GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                       std::vector<uint8_t>* out) override {
        Transfer();
        {
            std::lock_guard<std::mutex> lock(probe_mutex_);
            if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && !configuration_override_.empty()) {
                *out = configuration_override_;
                return true;
            }
        }
        return sim::SimCamera::GetDescriptor(type, index, language, out);
    }
    USBD_STATUS ResetPipe(uint8_t endpoint_address) override {
        {
            std::lock_guard<std::mutex> lock(probe_mutex_);
            ++pipe_resets_;
        }
        return sim::SimCamera::ResetPipe(endpoint_address);
    }
    bool SetConfiguration(uint8_t value) override {
        Transfer();
        return sim::SimCamera::SetConfiguration(value);
    }
    platform::UsbOutResult Out(uint8_t endpoint_address, const uint8_t* data,
                               uint32_t length) override {
        Transfer();
        return sim::SimCamera::Out(endpoint_address, data, length);
    }
    uint32_t PortStatus() override {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        if (pulled_out_) {
            return 0;
        }
        if (port_status_override_ >= 0) {
            return (uint32_t)port_status_override_;
        }
        return sim::SimCamera::PortStatus();
    }
    void ResetPort() override {
        {
            std::lock_guard<std::mutex> lock(probe_mutex_);
            ++port_resets_;
            // A port reset brings back a camera that stopped answering, not one pulled out.
            if (pulled_out_) {
                return;
            }
        }
        sim::SimCamera::ResetPort();
    }

    // The camera is pulled out at the n-th of its transfers from now (1: the next; descriptor and
    // configuration requests, OUT transfers and IN transfers queued count): that one and every
    // later one find it gone, until PlugBackIn. 0 disarms.
    void PullOutAt(uint64_t n) {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        pull_out_at_ = n == 0 ? 0 : transfers_ + n;
    }
    bool PulledOut() {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        return pulled_out_;
    }
    // Transfers the camera was asked for, gone or not.
    uint64_t Transfers() {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        return transfers_;
    }
    void PlugBackIn() {
        {
            std::lock_guard<std::mutex> lock(probe_mutex_);
            pulled_out_ = false;
            pull_out_at_ = 0;
        }
        SetFaults({});
    }

    std::vector<uint32_t> QueuedLengths(uint8_t endpoint_address) {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        std::vector<uint32_t> lengths;
        for (const auto& [endpoint, length] : queued_) {
            if (endpoint == endpoint_address) {
                lengths.push_back(length);
            }
        }
        return lengths;
    }
    void ClearQueued() {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        queued_.clear();
    }
    int PipeResets() {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        return pipe_resets_;
    }
    int PortResets() {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        return port_resets_;
    }
    // Configuration descriptor bytes to present instead of the camera's own; empty restores them.
    void OverrideConfiguration(std::vector<uint8_t> bytes) {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        configuration_override_ = std::move(bytes);
    }
    // A port status word to report instead of the camera's own; negative restores it.
    void OverridePortStatus(int64_t status) {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        port_status_override_ = status;
    }

  private:
    void Transfer() {
        {
            std::lock_guard<std::mutex> lock(probe_mutex_);
            if (++transfers_ != pull_out_at_) {
                return;
            }
            pulled_out_ = true;
        }
        SetFaults({.disconnected = true});
    }

    std::mutex probe_mutex_;
    uint64_t transfers_ = 0;
    uint64_t pull_out_at_ = 0;
    bool pulled_out_ = false;
    std::vector<std::pair<uint8_t, uint32_t>> queued_;
    int pipe_resets_ = 0;
    int port_resets_ = 0;
    int64_t port_status_override_ = -1;
    std::vector<uint8_t> configuration_override_;
};

}  // namespace camtest
