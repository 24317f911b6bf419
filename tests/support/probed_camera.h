// The simulated camera with probes on its port: the IN transfers the bus queued, pipe and port
// resets, and descriptors or a port status presented in place of its own.
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
        {
            std::lock_guard<std::mutex> lock(probe_mutex_);
            queued_.push_back({endpoint_address, length});
        }
        sim::SimCamera::InTransferQueued(endpoint_address, length);
    }
    bool GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                       std::vector<uint8_t>* out) override {
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
    uint32_t PortStatus() override {
        std::lock_guard<std::mutex> lock(probe_mutex_);
        if (port_status_override_ >= 0) {
            return (uint32_t)port_status_override_;
        }
        return sim::SimCamera::PortStatus();
    }
    void ResetPort() override {
        {
            std::lock_guard<std::mutex> lock(probe_mutex_);
            ++port_resets_;
        }
        sim::SimCamera::ResetPort();
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
    std::mutex probe_mutex_;
    std::vector<std::pair<uint8_t, uint32_t>> queued_;
    int pipe_resets_ = 0;
    int port_resets_ = 0;
    int64_t port_status_override_ = -1;
    std::vector<uint8_t> configuration_override_;
};

}  // namespace camtest
