// A camera context on the stand-in's USB bus with the simulated camera plugged in, as the unit
// tests of usb/ and camera/ need it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "camera/command_lock.h"
#include "camera/frame_read.h"
#include "driver/camera_context.h"
#include "driver/pool_tags.h"
#include "platform/usb_bus.h"
#include "platform/verifier.h"
#include "sim/sim_camera.h"
#include "usb/pool_tags.h"
#include "usb/usb_transport.h"

namespace camtest {

// The simulated camera, plus a record of the IN transfers the bus queued and hooks on the port.
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

class CameraFixture : public testing::Test {
  protected:
    void SetUp() override {
        saved_timeout_ = frame_timeout_ms;
        port_ = platform::UsbBusPlugIn(&sim_);
        ASSERT_NE(port_, nullptr);
        camera_ = (CameraContext*)ExAllocatePoolWithTag(
            (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), sizeof(CameraContext),
            kCameraContextTag);
        ASSERT_NE(camera_, nullptr);
        KeInitializeEvent(&camera_->transfer_event, NotificationEvent, FALSE);
        KeInitializeSpinLock(&camera_->transfer_lock);
        InitializeCommandLock(camera_);
        camera_->usb.lower_device = port_;
        camera_->image_width = 1600;
        camera_->image_height = 1200;
        camera_->output_width = 1600;
        camera_->output_height = 1200;
    }

    void TearDown() override {
        frame_timeout_ms = saved_timeout_;
        if (camera_ != nullptr) {
            if (camera_->usb.interface_info != nullptr ||
                camera_->usb.configuration_descriptor != nullptr) {
                StopUsbDevice(&camera_->usb);
            }
            ExFreePoolWithTag(camera_, kCameraContextTag);
        }
        if (port_ != nullptr) {
            platform::UsbBusUnplug(port_);
        }
    }

    void Configure() { ASSERT_EQ(StartUsbDevice(&camera_->usb), STATUS_SUCCESS); }

    // Announces a raw frame size to the camera and to the context, as the capture set-up does.
    void AnnounceFrameSize(uint32_t size) {
        camera_->raw_frame_size = size;
        for (UCHAR item = 0; item < 4; ++item) {
            UCHAR packet[kPacketSize] = {0x25, item, (UCHAR)(size >> (8 * item))};
            ASSERT_TRUE(TransferPacket(camera_, kCommandPipe, kPacketSize, packet));
        }
    }

    ProbedCamera sim_;
    PDEVICE_OBJECT port_ = nullptr;
    CameraContext* camera_ = nullptr;
    LONG saved_timeout_ = 3000;
};

}  // namespace camtest
