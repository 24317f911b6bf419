// camctl serve: the camera kept running, a live preview with every control in the browser, and a
// JSON API beside it, until Ctrl-C or SIGTERM stops the pin and the device (which saves the
// settings).
#include <httplib.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

#include "tools/camctl/command.h"
#include "tools/camctl/frame_loop.h"
#include "tools/camctl/serve/access_guard.h"
#include "tools/camctl/serve/controls_api.h"
#include "tools/camctl/serve/frame_broadcaster.h"
#include "tools/camctl/serve/http_routes.h"
#include "tools/camctl/serve/listen_address.h"
#include "tools/camctl/stop_signal.h"
#include "tools/common/jpeg_encoder.h"
#include "tools/common/status_text.h"

namespace camctl {

namespace {

using serve::FrameBroadcaster;

struct ServeOptions {
    std::string listen = serve::kDefaultListen;
    std::vector<std::string> sets;
};

// Buffers queued on the pin, and frames the preview may hold beyond them: the latest, the one
// being encoded and a snapshot or two being written.
constexpr size_t kQueuedBuffers = 3;
constexpr size_t kHeldFrames = 4;
constexpr uint32_t kPollMs = 100;
// A finished request's connection waits this long for the next before it closes, which bounds
// how long stopping takes.
constexpr time_t kKeepAliveSeconds = 1;
// A viewer that takes longer to accept a picture has gone.
constexpr time_t kWriteTimeoutSeconds = 5;
// Milliseconds the server may take to start listening.
constexpr int kStartWaits = 5000;

// The camera sends nothing: said on the page, the same way capture says it.
std::string NoFrames(serve::ControlDesk& desk, uint32_t idle_ms) {
    std::string problem = "no frame for " + std::to_string(idle_ms / 1000) + " s";
    LONG trigger = 0;
    if (NT_SUCCESS(desk.Get(camdrv::CameraItem::ExTrigger, &trigger)) && trigger != 0)
        problem += ": ExTrigger is 1, so the camera waits for an external trigger";
    return problem;
}

// Hands each delivered frame to the broadcaster; its buffer goes back once nobody holds it.
std::string Broadcast(FrameLoop& loop, FrameBroadcaster& frames, serve::ControlDesk& desk) {
    const camtools::CaptureStream& stream = loop.stream();
    const auto on_frame = [&](const DeliveredFrame& delivered) {
        auto* frame = new serve::Frame;
        frame->image.bgra = delivered.buffer->data;
        frame->image.width = stream.width();
        frame->image.height = stream.height();
        frame->image.stride = (size_t)stream.width() * 4;
        frame->image.bottom_up = stream.bottom_up();
        frame->number = delivered.number;
        frame->picture = delivered.picture;
        camtools::client::StreamBuffer* buffer = delivered.buffer;
        frames.Publish(serve::FramePtr(frame, [&loop, buffer](const serve::Frame* done) {
            loop.Recycle(buffer);
            delete done;
        }));
        frames.SetCameraProblem("");
        return std::string();
    };
    const auto on_idle = [&](uint32_t idle_ms) {
        if (idle_ms >= loop.frame_wait_ms())
            frames.SetCameraProblem(NoFrames(desk, idle_ms));
        return std::string();
    };
    return loop.Run([] { return !StopRequested(); }, on_frame, on_idle, kPollMs);
}

// Binds the server to the address; returns the port, or -1.
int Bind(httplib::Server& server, const serve::ListenAddress& address) {
    if (address.ipv6)
        server.set_address_family(AF_INET6);
    if (address.port == 0)
        return server.bind_to_any_port(address.host);
    return server.bind_to_port(address.host, address.port) ? address.port : -1;
}

std::vector<std::string> HostNames(const serve::ListenAddress& address, int port) {
    std::vector<std::string> hosts = {serve::HostPort(address, port)};
    if (address.loopback && !address.ipv6)
        hosts.push_back("localhost:" + std::to_string(port));
    return hosts;
}

void PrintFigures(const CaptureSummary& summary, const serve::EncoderFigures& encoder) {
    summary.Print(stdout);
    std::printf("jpeg_pictures=%llu\n", (unsigned long long)encoder.pictures);
    if (encoder.pictures != 0) {
        std::printf("jpeg_ms_per_picture=%.2f\n",
                    (double)encoder.encode_ns * 1e-6 / (double)encoder.pictures);
    }
}

// Serves while the loop runs; returns what failed.
std::string Serve(const serve::ListenAddress& address, camtools::CameraFilter& filter,
                  FrameLoop& loop) {
    const std::string token = serve::NewToken();
    if (token.empty())
        return "the system gave no random bytes for the access token";
    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(serve::kServerThreads); };
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_write_timeout(kWriteTimeoutSeconds, 0);
    const int port = Bind(server, address);
    if (port < 0) {
        return "cannot listen on " + serve::HostPort(address, address.port) +
               " (in use?); --listen " + serve::HostPort(address, 0) + " picks a free port";
    }
    const serve::AccessGuard guard(token, HostNames(address, port));
    FrameBroadcaster frames(camtools::kDefaultJpegQuality);
    serve::ControlDesk desk(&filter);
    serve::AddRoutes(&server, {&guard, &desk, &frames, [&loop] { return loop.Summary(); }});
    std::thread http([&server] { server.listen_after_bind(); });
    // A stop that comes before the server runs would not reach it.
    for (int i = 0; i < kStartWaits && !server.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::printf("camctl serve: open http://%s/?token=%s\n", serve::HostPort(address, port).c_str(),
                token.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "camctl serve: Ctrl-C stops\n");
    const std::string problem = Broadcast(loop, frames, desk);
    const serve::EncoderFigures encoded = frames.Figures();
    // Streams end and the encoder stops, then the server's threads, so nothing holds a frame when
    // the pin stops.
    frames.Close();
    server.stop();
    http.join();
    loop.Stop();
    PrintFigures(loop.Summary(), encoded);
    return problem;
}

int RunServe(const CommonOptions& common, const ServeOptions& options) {
    serve::ListenAddress address;
    std::string problem = serve::ParseListenAddress(options.listen, &address);
    LoopOptions loop_options;
    if (problem.empty())
        problem = camtools::ParseAssignments(options.sets, &loop_options.assignments);
    if (!problem.empty())
        return UsageError("serve", problem);
    CatchStopSignals();
    // A viewer that goes away mid-picture ends that write, not the server.
    std::signal(SIGPIPE, SIG_IGN);
    camtools::Session session(common.Session());
    if (session.device() == nullptr)
        return Fail("serve", session.error());
    camtools::CameraFilter filter(session.device());
    if (!NT_SUCCESS(filter.status()))
        return Fail("serve", "cannot open the filter: " + camtools::StatusText(filter.status()));
    loop_options.stream.buffers = kQueuedBuffers;
    loop_options.stream.max_held = kHeldFrames;
    FrameLoop loop(&session, &filter);
    problem = loop.Start(loop_options);
    if (problem.empty())
        problem = Serve(address, filter, loop);
    loop.Close();
    filter.Close();
    const std::string close_problem = session.Close();
    if (problem.empty())
        problem = close_problem;
    return problem.empty() ? 0 : Fail("serve", problem);
}

}  // namespace

Command AddServe(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand(
        "serve",
        "keep the camera running and show it in the browser: the live picture with every "
        "control, a histogram, the capture's figures and snapshots; JSON under /api/");
    auto options = std::make_shared<ServeOptions>();
    app->add_option("--listen", options->listen,
                    std::string("the address and port to serve on (default ") +
                        serve::kDefaultListen + "; port 0 picks a free one)")
        ->type_name("ADDR:PORT")
        ->check(CLI::Validator(
            [](std::string& text) {
                serve::ListenAddress ignored;
                return serve::ParseListenAddress(text, &ignored);
            },
            "", "listen address"));
    AddSetOption(app, &options->sets, "a setting made once the pin runs");
    return {app, [&common, options] { return RunServe(common, *options); }, CommonSet::kFrames};
}

}  // namespace camctl
