// One camctl run's world: the simulated camera plugged in, the driver loaded, its device added and
// started; torn down again in reverse order.
#pragma once

#include <string>

#include "platform/ks.h"
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
    const std::string& error() const { return error_; }
    NTSTATUS start_status() const { return start_status_; }

private:
    PKSDEVICE device_ = nullptr;
    bool driver_loaded_ = false;
    NTSTATUS start_status_ = STATUS_SUCCESS;
    std::string error_;
};

// "0xC0000001" and the platform's name where it has one.
std::string StatusText(NTSTATUS status);

}  // namespace camctl
