// serve's HTTP side: the page, the JSON API, the snapshot and the stream, every request let in by
// the access guard first.
#pragma once

#include <httplib.h>

#include <functional>

#include "tools/camctl/capture_summary.h"
#include "tools/camctl/serve/access_guard.h"
#include "tools/camctl/serve/controls_api.h"
#include "tools/camctl/serve/frame_broadcaster.h"

namespace camctl::serve {

// Streams open at once at most; each holds one of the server's threads.
inline constexpr size_t kMaxViewers = 4;
inline constexpr int kServerThreads = kMaxViewers + 4;

struct Services {
    const AccessGuard* guard;
    ControlDesk* controls;
    FrameBroadcaster* frames;
    std::function<CaptureSummary()> summary;
};

// Sets up `server` to serve; the services outlive it.
void AddRoutes(httplib::Server* server, const Services& services);

}  // namespace camctl::serve
