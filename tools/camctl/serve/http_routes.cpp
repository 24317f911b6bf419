#include "tools/camctl/serve/http_routes.h"

#include <string>

#include "tools/camctl/serve/page_files.h"
#include "tools/common/image_files.h"

namespace camctl::serve {

namespace {

using httplib::Request;
using httplib::Response;

constexpr const char* kBoundary = "camctlframe";
// How long a stream waits for a picture before it looks whether serve is closing.
constexpr uint32_t kStreamPollMs = 250;

void SendJson(Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

const char* ContentTypeOf(std::string_view name) {
    if (name.ends_with(".html"))
        return "text/html; charset=utf-8";
    if (name.ends_with(".css"))
        return "text/css; charset=utf-8";
    return "text/javascript; charset=utf-8";
}

httplib::Server::HandlerResponse Guard(const AccessGuard& guard, const Request& request,
                                       Response& response) {
    int status = 0;
    const std::string refusal =
        guard.Check(request.get_header_value("Host"), request.get_header_value("Authorization"),
                    request.get_header_value("Cookie"), request.get_param_value("token"), &status);
    response.set_header("Cache-Control", "no-store");
    if (refusal.empty())
        return httplib::Server::HandlerResponse::Unhandled;
    SendJson(response, status, ErrorJson(refusal));
    return httplib::Server::HandlerResponse::Handled;
}

void AddPage(httplib::Server* server, const AccessGuard& guard) {
    for (const PageFile& file : PageFiles()) {
        const std::string path = file.name == "page.html" ? "/" : "/" + std::string(file.name);
        server->Get(path, [&guard, file](const Request&, Response& response) {
            // The page's later requests carry the token as a cookie that only it gets.
            if (file.name == "page.html")
                response.set_header("Set-Cookie", guard.Cookie());
            response.set_header("Content-Security-Policy",
                                "default-src 'self'; img-src 'self' blob:; "
                                "frame-ancestors 'none'");
            response.set_content(file.bytes.data(), file.bytes.size(), ContentTypeOf(file.name));
        });
    }
}

void AddApi(httplib::Server* server, const Services& services) {
    server->Get("/api/controls", [services](const Request&, Response& response) {
        SendJson(response, 200, services.controls->Controls());
    });
    server->Put(R"(/api/controls/([^/]+))", [services](const Request& request, Response& response) {
        const Answer answer = services.controls->Put(request.matches[1], request.body);
        SendJson(response, answer.status, answer.body);
    });
    server->Get("/api/stats", [services](const Request&, Response& response) {
        SendJson(response, 200,
                 StatsJson(services.summary(), services.frames->Figures(),
                           services.frames->CameraProblem()));
    });
}

void AddSnapshot(httplib::Server* server, FrameBroadcaster* frames) {
    server->Get("/snapshot.png", [frames](const Request&, Response& response) {
        const FramePtr frame = frames->Latest();
        if (frame == nullptr) {
            SendJson(response, 503, ErrorJson("no frame has arrived yet"));
            return;
        }
        std::string png;
        const std::string problem = camtools::EncodePng(frame->image, &png);
        if (!problem.empty()) {
            SendJson(response, 500, ErrorJson(problem));
            return;
        }
        const std::string name =
            "snapshot-" +
            std::to_string(frame->picture ? *frame->picture : (int64_t)frame->number) + ".png";
        response.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
        response.set_content(png, "image/png");
    });
}

// One multipart part a picture, for as long as the viewer reads and serve runs.
void AddStream(httplib::Server* server, FrameBroadcaster* frames) {
    server->Get("/stream.mjpg", [frames](const Request& request, Response& response) {
        const bool half = request.get_param_value("size") != "full";
        if (!frames->Join(kMaxViewers)) {
            SendJson(
                response, 503,
                ErrorJson("the camera has " + std::to_string(kMaxViewers) + " viewers already"));
            return;
        }
        auto sequence = std::make_shared<uint64_t>(0);
        response.set_content_provider(
            std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
            [frames, half, sequence](size_t, httplib::DataSink& sink) {
                PicturePtr picture;
                while (picture == nullptr) {
                    if (frames->closed() || !sink.is_writable())
                        return false;
                    picture = frames->Next(half, *sequence, kStreamPollMs);
                }
                *sequence = picture->sequence;
                const std::string head = std::string("--") + kBoundary +
                                         "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                         std::to_string(picture->jpeg.size()) + "\r\n\r\n";
                return sink.write(head.data(), head.size()) &&
                       sink.write(reinterpret_cast<const char*>(picture->jpeg.data()),
                                  picture->jpeg.size()) &&
                       sink.write("\r\n", 2);
            },
            [frames](bool) { frames->Leave(); });
    });
}

// Refusals the library makes itself (a body too large, a path that is no route) get a message too.
httplib::Server::HandlerResponse Explain(const Request&, Response& response) {
    if (!response.body.empty())
        return httplib::Server::HandlerResponse::Unhandled;
    const std::string message =
        response.status == 413
            ? "the body is larger than " + std::to_string(kMaxBodyBytes) + " bytes"
        : response.status == 404
            ? std::string("there is no such page or route")
            : "the request was refused (" + std::to_string(response.status) + ")";
    SendJson(response, response.status, ErrorJson(message));
    return httplib::Server::HandlerResponse::Handled;
}

}  // namespace

void AddRoutes(httplib::Server* server, const Services& services) {
    const AccessGuard& guard = *services.guard;
    server->set_pre_routing_handler([&guard](const Request& request, Response& response) {
        return Guard(guard, request, response);
    });
    server->set_payload_max_length(kMaxBodyBytes);
    server->set_error_handler(httplib::Server::HandlerWithResponse(Explain));
    AddPage(server, guard);
    AddApi(server, services);
    AddSnapshot(server, services.frames);
    AddStream(server, services.frames);
}

}  // namespace camctl::serve
