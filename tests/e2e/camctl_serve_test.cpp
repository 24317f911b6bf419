// camctl serve through its HTTP API, as a script or the page uses it: the controls are the
// contract's items, a set reaches the driver and persists, every refusal answers 4xx and changes
// nothing, viewers share the capture, and SIGTERM stops it cleanly.
#include <gtest/gtest.h>
#include <httplib.h>
#include <turbojpeg.h>

#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "camdrv/camera_properties.h"
#include "tests/support/camctl_runner.h"

namespace {

using nlohmann::json;

constexpr int kStreamPictures = 3;

class CamctlServeTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(serve_.started()) << serve_.Stop().err;
        client_.set_bearer_token_auth(serve_.token().c_str());
        client_.set_read_timeout(30, 0);
    }

    json Controls() {
        const httplib::Result result = client_.Get("/api/controls");
        return result && result->status == 200 ? json::parse(result->body) : json();
    }
    json Control(const std::string& name) {
        for (const json& control : Controls()) {
            if (control["name"] == name)
                return control;
        }
        return json();
    }
    httplib::Result Put(const std::string& name, const std::string& body) {
        return client_.Put(("/api/controls/" + name).c_str(), body, "application/json");
    }

    camtest::ScratchDir dir_;
    camtest::ServeRun serve_{dir_, "--listen 127.0.0.1:0"};
    httplib::Client client_{"127.0.0.1", serve_.port()};
};

TEST_F(CamctlServeTest, TheControlsAreTheContractsValueItemsWithTheirRanges) {
    const json controls = Controls();
    ASSERT_TRUE(controls.is_array());
    size_t value_items = 0;
    for (const camdrv::CameraItemInfo& item : camdrv::kCameraItems) {
        const json control = Control(item.name);
        const bool reads = (item.access & camdrv::kItemGet) != 0 &&
                           item.min_size == sizeof(camdrv::CameraPropertyValue) &&
                           item.id != camdrv::CameraItem::WriteRegister;
        ASSERT_EQ(control.is_object(), reads) << item.name;
        if (!reads)
            continue;
        ++value_items;
        EXPECT_EQ(control["id"], (ULONG)item.id) << item.name;
        EXPECT_EQ(control["writable"], (item.access & camdrv::kItemSet) != 0) << item.name;
        if (item.fixed)
            EXPECT_EQ(control["value"], item.fixed_value) << item.name;
        if (const camdrv::RangeItems* range = camdrv::RangeItemsOf(item.id)) {
            EXPECT_EQ(control["min"], camdrv::ItemInfo(range->min).fixed_value) << item.name;
            EXPECT_EQ(control["max"], camdrv::ItemInfo(range->max).fixed_value) << item.name;
            EXPECT_EQ(control["default"], camdrv::ItemInfo(range->default_value).fixed_value);
        }
    }
    EXPECT_EQ(controls.size(), value_items);
    EXPECT_EQ(Control("FlipH")["kind"], "switch");
    EXPECT_EQ(Control("FlipH")["max"], 1);
}

TEST_F(CamctlServeTest, ASetAnswersTheValueKeptAndPersistsAfterSigterm) {
    const struct {
        const char* name;
        const char* body;
        int kept;
        const char* note;  // null: none
    } cases[] = {
        {"Brightness", R"({"value": 300})", 300, nullptr},
        {"brightness", R"({"value": 99999})", 510, "asked 99999; range 0..510"},
        {"Hue", R"({"value": -5})", 0, "asked -5; range 0..359"},
        {"Timeout", R"({"value": 100})", 3000, "kept: takes values above 500"},
    };
    for (const auto& c : cases) {
        const httplib::Result result = Put(c.name, c.body);
        ASSERT_TRUE(result) << c.name;
        ASSERT_EQ(result->status, 200) << c.name << " " << result->body;
        const json answer = json::parse(result->body);
        EXPECT_EQ(answer["value"], c.kept) << c.name;
        EXPECT_EQ(answer.contains("note") ? answer["note"].get<std::string>() : "",
                  c.note ? c.note : "")
            << c.name;
    }
    EXPECT_EQ(Control("Brightness")["value"], 510);
    const camtest::CamctlResult stopped = serve_.Stop();
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_NE(stopped.out.find("frames_delivered="), std::string::npos) << stopped.out;
    EXPECT_EQ(camtest::RunCamctl(dir_, "get Brightness Hue").out, "Brightness=510\nHue=0\n");
}

TEST_F(CamctlServeTest, EveryRefusalAnswers4xxWithAMessageAndChangesNothing) {
    ASSERT_EQ(Put("Brightness", R"({"value": 300})")->status, 200);
    const std::string token = serve_.token();
    const std::string rebound = "camera.example:" + std::to_string(serve_.port());
    const struct {
        const char* method;
        std::string path;
        std::string body;
        httplib::Headers headers;  // instead of the bearer token
        int status;
        const char* message;
    } cases[] = {
        {"GET", "/api/controls", "", {{"X-None", "1"}}, 401, "needs the token"},
        {"PUT",
         "/api/controls/Brightness",
         R"({"value": 400})",
         {{"X-None", "1"}},
         401,
         "needs the token"},
        {"GET", "/api/stats", "", {{"Authorization", "Bearer 0123"}}, 401, "needs the token"},
        {"GET", "/?token=" + token + "x", "", {{"X-None", "1"}}, 401, "needs the token"},
        {"PUT",
         "/api/controls/Brightness",
         R"({"value": 400})",
         {{"Authorization", "Bearer " + token}, {"Host", rebound}},
         403,
         "does not name the address served"},
        {"PUT", "/api/controls/Brightness", R"({"value": 400)", {}, 400, "JSON object"},
        {"PUT", "/api/controls/Brightness", R"([400])", {}, 400, "JSON object"},
        {"PUT", "/api/controls/Brightness", R"({"value": "400"})", {}, 400, "integer"},
        {"PUT", "/api/controls/Brightness", R"({"value": 400.5})", {}, 400, "integer"},
        {"PUT", "/api/controls/Brightness", R"({"value": 4294967296})", {}, 400, "32 bits"},
        {"PUT", "/api/controls/Brightness", R"({"level": 400})", {}, 400, "integer"},
        {"PUT", "/api/controls/Brightnes", R"({"value": 400})", {}, 404, "nearest: Brightness"},
        {"PUT", "/api/controls/ExposureMax", R"({"value": 400})", {}, 403, "read-only"},
        {"PUT", "/api/controls/RawCommand", R"({"value": 400})", {}, 404, "not a control"},
        {"PUT",
         "/api/controls/Brightness",
         R"({"value": 400, "padding": ")" + std::string(2000, 'x') + "\"}",
         {},
         413,
         "larger than 1024 bytes"},
    };
    for (const auto& c : cases) {
        httplib::Client client("127.0.0.1", serve_.port());
        httplib::Headers headers = c.headers;
        if (headers.empty())
            headers.emplace("Authorization", "Bearer " + token);
        const httplib::Result result =
            std::string(c.method) == "GET"
                ? client.Get(c.path.c_str(), headers)
                : client.Put(c.path.c_str(), headers, c.body, "application/json");
        ASSERT_TRUE(result) << c.method << " " << c.path;
        EXPECT_EQ(result->status, c.status) << c.method << " " << c.path << " " << c.body;
        EXPECT_NE(result->body.find(c.message), std::string::npos)
            << c.method << " " << c.path << ": " << result->body;
    }
    EXPECT_EQ(Control("Brightness")["value"], 300);
}

// The page hands its token on as a cookie that later requests carry alone.
TEST_F(CamctlServeTest, ThePageSetsTheCookieThatLetsItsRequestsIn) {
    httplib::Client browser("127.0.0.1", serve_.port());
    const httplib::Result page = browser.Get(("/?token=" + serve_.token()).c_str());
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<img id=\"picture\""), std::string::npos);
    const std::string cookie = page->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;
    const httplib::Headers with_cookie = {{"Cookie", cookie.substr(0, cookie.find(';'))}};
    for (const char* path : {"/api/stats", "/page.js", "/page.css"}) {
        const httplib::Result result = browser.Get(path, with_cookie);
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, 200) << path;
    }
    EXPECT_NE(
        browser.Get("/page.js", with_cookie)->get_header_value("Content-Type").find("javascript"),
        std::string::npos);
}

struct StreamRead {
    std::vector<std::pair<int, int>> sizes;  // each picture's width and height
    std::string ended;                       // how the request ended, for a failure's message
};

// Reads pictures of one stream until kStreamPictures have come.
StreamRead ReadStream(int port, const std::string& token, const std::string& path) {
    StreamRead read;
    httplib::Client client("127.0.0.1", port);
    client.set_bearer_token_auth(token.c_str());
    client.set_read_timeout(30, 0);
    std::string pending;
    tjhandle decoder = tjInitDecompress();
    const httplib::Result result = client.Get(path.c_str(), [&](const char* data, size_t length) {
        pending.append(data, length);
        for (;;) {
            const std::string field = "Content-Length: ";
            const size_t at = pending.find(field);
            const size_t body = pending.find("\r\n\r\n", at);
            if (at == std::string::npos || body == std::string::npos)
                break;
            const size_t size = std::stoul(pending.substr(at + field.size()));
            if (pending.size() < body + 4 + size)
                break;
            int width = 0, height = 0, subsampling = 0, colours = 0;
            tjDecompressHeader3(decoder,
                                reinterpret_cast<const unsigned char*>(pending.data()) + body + 4,
                                size, &width, &height, &subsampling, &colours);
            read.sizes.emplace_back(width, height);
            pending.erase(0, body + 4 + size);
        }
        return read.sizes.size() < (size_t)kStreamPictures;
    });
    read.ended = (result ? "status " + std::to_string(result->status)
                         : "error " + httplib::to_string(result.error())) +
                 ", " + std::to_string(pending.size()) + " bytes left unparsed";
    tjDestroy(decoder);
    return read;
}

TEST_F(CamctlServeTest, TwoViewersShareTheCaptureAndTheSnapshotIsFullSize) {
    StreamRead half;
    StreamRead full;
    std::thread first([&] { half = ReadStream(serve_.port(), serve_.token(), "/stream.mjpg"); });
    std::thread second(
        [&] { full = ReadStream(serve_.port(), serve_.token(), "/stream.mjpg?size=full"); });
    first.join();
    second.join();
    // A stream cut short may be serve's doing: what it wrote and how it ended say which.
    const auto serve_account = [this] {
        const camtest::CamctlResult stopped = serve_.Stop();
        return "\nserve exited " + std::to_string(stopped.status) + ":\n" + stopped.out +
               stopped.err;
    };
    ASSERT_EQ(half.sizes.size(), (size_t)kStreamPictures) << half.ended << serve_account();
    ASSERT_EQ(full.sizes.size(), (size_t)kStreamPictures) << full.ended << serve_account();
    for (int i = 0; i < kStreamPictures; ++i) {
        EXPECT_EQ(half.sizes[i], std::make_pair(800, 600));
        EXPECT_EQ(full.sizes[i], std::make_pair(1600, 1200));
    }
    const httplib::Result snapshot = client_.Get("/snapshot.png");
    ASSERT_TRUE(snapshot);
    ASSERT_EQ(snapshot->status, 200);
    const std::string& png = snapshot->body;
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.compare(1, 3, "PNG"), 0);
    const auto big_endian = [&](size_t at) {
        return ((uint32_t)(uint8_t)png[at] << 24) | ((uint32_t)(uint8_t)png[at + 1] << 16) |
               ((uint32_t)(uint8_t)png[at + 2] << 8) | (uint8_t)png[at + 3];
    };
    EXPECT_EQ(big_endian(16), 1600u);
    EXPECT_EQ(big_endian(20), 1200u);
    const json stats = json::parse(client_.Get("/api/stats")->body);
    EXPECT_EQ(stats["camera"], "running");
    EXPECT_GE(stats["jpeg_pictures"].get<int>(), 2 * kStreamPictures);
    EXPECT_GE(stats["frames_delivered"].get<int>(), kStreamPictures);
    // A viewer that went away frees its place once serve notices.
    int viewers = -1;
    for (int i = 0; i < 100 && viewers != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        viewers = json::parse(client_.Get("/api/stats")->body)["viewers"].get<int>();
    }
    EXPECT_EQ(viewers, 0);
}

}  // namespace
