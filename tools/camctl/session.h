// One camctl run's world: the simulated camera plugged into the bus, the driver loaded, its device
// added and started; torn down again in reverse order.
#pragma once

#include <memory>
#include <string>

#include "platform/ks.h"
#include "sim/sim_camera.h"
#include "tools/camctl/command.h"

namespace camctl {

class Session {
  public:
    // Brings the device up; on failure error() says why and device() is null.
    explicit Session(const CommonOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    PKSDEVICE device() const { return device_; }
    sim::SimCamera& camera() { return *camera_; }
    const std::string& error() const { return error_; }
    NTSTATUS start_status() const { return start_status_; }

  private:
    std::unique_ptr<sim::SimCamera> camera_;
    PDEVICE_OBJECT port_ = nullptr;
    PKSDEVICE device_ = nullptr;
    bool driver_loaded_ = false;
    NTSTATUS start_status_ = STATUS_SUCCESS;
    std::string error_;
};

// "0xC0000001 (STATUS_UNSUCCESSFUL)", or the hexadecimal value alone.
std::string StatusText(NTSTATUS status);

}  // namespace camctl
