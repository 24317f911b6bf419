// The one way tests stand up a camera device: the simulated camera on a bus port, the driver
// loaded, a device created through the class-driver stand-in and a registry file of the test's
// own. Tests link the driver and the simulated camera.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/camera_context_ops.h"
#include "driver/device_callbacks.h"
#include "platform/ks_host.h"
#include "platform/registry_host.h"
#include "platform/usb_bus.h"
#include "sim/sim_camera.h"
#include "tests/support/driver_under_test.h"
#include "tests/support/scratch_dir.h"
#include "usb/usb_transport.h"

namespace camtest {

class CameraDeviceTest : public testing::Test {
  protected:
    void SetUp() override {
        registry_file_ = dir_.File("registry.reg");
        platform::registry::SetStoreFile(registry_file_);
        sim_ = std::make_unique<sim::SimCamera>();
        sim_->SetLinkSpeed(0);
        port_ = platform::UsbBusPlugIn(sim_.get());
        ASSERT_EQ(LoadDriverUnderTest(), STATUS_SUCCESS);
        saved_timeout_ = DriverGlobal(frame_timeout_ms, "frame_timeout_ms");
        Plug();
    }
    void TearDown() override {
        if (device_ != nullptr)
            platform::ks::RemoveDevice(device_);
        DriverGlobal(frame_timeout_ms, "frame_timeout_ms") = saved_timeout_;
        EXPECT_EQ(platform::ks::UnloadDriver(), 0u);
        platform::UsbBusUnplug(port_);
    }

    // A device on the camera's port; the registry file is read as it is created.
    void Plug() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        device_ = platform::ks::CreateDevice(port_, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    void Unplug() {
        platform::ks::RemoveDevice(device_);
        device_ = nullptr;
    }
    // A new device, which reads the registry file as it stands.
    void Replug() {
        Unplug();
        Plug();
    }
    NTSTATUS Start() { return platform::ks::StartDevice(device_); }
    void Stop() { platform::ks::StopDevice(device_); }
    CameraContext* camera() const { return CameraOfDevice(device_); }
    sim::SimCamera& sim() { return *sim_; }

    // The registry file with the device's Settings key holding these value lines
    // ("\"Timeout\"=dword:000001f4").
    void WriteSettings(const std::vector<std::string>& lines) {
        std::string text =
            "Windows Registry Editor Version 5.00\r\n\r\n[" + SettingsKeyPath() + "]\r\n";
        for (const std::string& line : lines)
            text += line + "\r\n";
        WriteText(registry_file_, text);
    }
    // The values of the Settings key in the registry file, in file order: name and data as
    // written ("dword:...").
    std::vector<std::pair<std::string, std::string>> StoredSettings() const {
        std::vector<std::pair<std::string, std::string>> values;
        const std::string text = ReadText(registry_file_);
        const std::string header = "[" + SettingsKeyPath() + "]";
        size_t at = text.find(header);
        if (at == std::string::npos)
            return values;
        at = text.find('\n', at);
        while (at != std::string::npos && at + 1 < text.size() && text[at + 1] == '"') {
            const size_t end = text.find('\n', at + 1);
            std::string line = text.substr(at + 1, end - at - 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const size_t equals = line.find("\"=");
            values.emplace_back(line.substr(1, equals - 1), line.substr(equals + 2));
            at = end;
        }
        return values;
    }
    static std::string Dword(uint32_t value) {
        char text[24];
        std::snprintf(text, sizeof(text), "dword:%08x", value);
        return text;
    }
    static std::string SettingsKeyPath() {
        return platform::registry::DriverKeyPath(0) + "\\Settings";
    }

    ScratchDir dir_;
    std::string registry_file_;
    std::unique_ptr<sim::SimCamera> sim_;
    PDEVICE_OBJECT port_ = nullptr;
    PKSDEVICE device_ = nullptr;
    LONG saved_timeout_ = 0;
};

}  // namespace camtest
