// The JSON of serve's API: the camera's items as controls, a set through the same property request
// as camctl set, and the capture's figures. Property requests from the page's threads go to the
// driver one at a time.
#pragma once

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/camctl/capture_summary.h"
#include "tools/camctl/serve/frame_broadcaster.h"
#include "tools/common/camera_filter.h"

namespace camctl::serve {

// Request bodies larger than this are refused unread.
inline constexpr size_t kMaxBodyBytes = 1024;

struct Answer {
    int status = 200;
    nlohmann::json body;
};

class ControlDesk {
  public:
    explicit ControlDesk(camtools::CameraFilter* filter) : filter_(filter) {}

    // GET /api/controls: every item that reads as one value, in item order.
    nlohmann::json Controls();
    // PUT /api/controls/NAME with {"value": N}: the item with the value the driver kept, or a
    // refusal that changed nothing.
    Answer Put(const std::string& name, const std::string& body);
    NTSTATUS Get(camdrv::CameraItem item, LONG* value);

  private:
    nlohmann::json ControlLocked(const camdrv::CameraItemInfo& item);

    std::mutex mutex_;
    camtools::CameraFilter* filter_;
};

// GET /api/stats: the summary's figures under their names, what the camera is doing and the
// encoder's figures.
nlohmann::json StatsJson(const CaptureSummary& summary, const EncoderFigures& encoder,
                         const std::string& camera_problem);

nlohmann::json ErrorJson(const std::string& message);

}  // namespace camctl::serve
