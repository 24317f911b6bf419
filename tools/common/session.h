// One tool run's world: the settings store chosen, the simulated camera plugged into the bus, the
// driver loaded, its device added and started (so the persisted settings load); torn down again in
// reverse order (the stop saves the settings).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ks_client.h"
#include "sim/sim_camera.h"

namespace camtools {

struct SessionOptions {
    // The settings store; empty: DefaultStoreFile() in the user's configuration folder.
    std::string registry;
    // No store file at all: the device starts with nothing stored, and what it saves is lost.
    bool memory_store = false;
    std::string usb_trace;  // a pcap file of every transfer; empty for none
    std::string scene = "chart";
    uint64_t link_speed = sim::kDefaultLinkSpeed;  // bytes per second; 0 unlimited
    // A cross-built driver image to load instead of the built-in driver; empty for the built-in.
    std::string driver_image;
};

// The store a session uses when none is named: camctl/settings.reg in $XDG_CONFIG_HOME, else in
// ~/.config; empty when neither is known.
std::string DefaultStoreFile();

class Session {
  public:
    // Brings the device up. On failure error() says why and device() is null.
    explicit Session(const SessionOptions& options);
    // Closes what Close did not.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    PKSDEVICE device() const { return device_; }
    sim::SimCamera& camera() { return *camera_; }
    const std::string& error() const { return error_; }
    const std::string& store_file() const { return store_file_; }
    // Bytes per second on the camera's link; 0 unlimited.
    uint64_t link_speed() const { return link_speed_; }

    // Stops and removes the device, unloads the driver, ends the trace and unplugs the camera.
    // Returns what went wrong on the way (settings that could not be saved, a trace that could
    // not be written), or an empty string.
    std::string Close();

  private:
    bool UseStore(const std::string& registry);

    std::unique_ptr<sim::SimCamera> camera_;
    PDEVICE_OBJECT port_ = nullptr;
    PKSDEVICE device_ = nullptr;
    bool driver_loaded_ = false;
    bool tracing_ = false;
    std::string store_file_;
    uint64_t link_speed_ = 0;
    std::string usb_trace_;
    std::string error_;
};

}  // namespace camtools
