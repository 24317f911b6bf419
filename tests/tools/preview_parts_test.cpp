// The parts of camctl that carry no camera: the capture summary against a plain recount, the
// access checks of serve, its listen address, and the halving before JPEG encoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tools/camctl/capture_summary.h"
#include "tools/camctl/serve/access_guard.h"
#include "tools/camctl/serve/listen_address.h"
#include "tools/common/jpeg_encoder.h"

namespace {

std::string FigureText(const camctl::CaptureSummary& summary, const std::string& name) {
    for (const camctl::Figure& figure : summary.Figures()) {
        if (figure.name == name)
            return figure.text;
    }
    return "";
}

// Missing numbers between the lowest and the highest, counted and written as runs the plain way.
std::string RecountGaps(std::vector<int64_t> pictures, uint64_t* missing) {
    std::sort(pictures.begin(), pictures.end());
    std::string gaps;
    *missing = 0;
    for (size_t i = 1; i < pictures.size(); ++i) {
        const int64_t from = pictures[i - 1] + 1;
        const int64_t to = pictures[i] - 1;
        if (to < from)
            continue;
        *missing += (uint64_t)(to - from + 1);
        gaps += (gaps.empty() ? "" : ",") + std::to_string(from) +
                (to > from ? "-" + std::to_string(to) : "");
    }
    return gaps.empty() ? "none" : gaps;
}

// Deliveries with skips, repeats and late frames, as a pin may hand them over.
TEST(CaptureSummaryTest, GapsAndSpacingMatchARecountOverRandomDeliveries) {
    std::mt19937 random(17);
    for (int walk = 0; walk < 300; ++walk) {
        camctl::CaptureSummary summary;
        std::vector<int64_t> pictures;
        int64_t next = std::uniform_int_distribution<int64_t>(-3, 50)(random);
        int64_t time = 1000;
        int64_t least = INT64_MAX, most = 0;
        const int frames = std::uniform_int_distribution<int>(1, 40)(random);
        for (int i = 0; i < frames; ++i) {
            const int step = std::uniform_int_distribution<int>(0, 9)(random);
            int64_t picture = next;
            if (step < 2 && !pictures.empty())
                picture = pictures[std::uniform_int_distribution<size_t>(
                              0, pictures.size() - 1)(random)] +
                          std::uniform_int_distribution<int>(-3, 3)(random);
            else
                next += step < 6 ? 1 : step - 4;
            const int64_t spacing = std::uniform_int_distribution<int64_t>(1, 900000)(random);
            if (i > 0) {
                time += spacing;
                least = std::min(least, spacing);
                most = std::max(most, spacing);
            }
            summary.AddFrame(time, picture);
            pictures.push_back(picture);
        }
        uint64_t missing = 0;
        const std::string gaps = RecountGaps(pictures, &missing);
        if (std::count(gaps.begin(), gaps.end(), ',') < 32)
            EXPECT_EQ(FigureText(summary, "gaps"), gaps) << "walk " << walk;
        EXPECT_EQ(FigureText(summary, "missing_pictures"), std::to_string(missing)) << walk;
        EXPECT_EQ(FigureText(summary, "first_picture"), std::to_string(pictures.front()));
        EXPECT_EQ(FigureText(summary, "last_picture"), std::to_string(pictures.back()));
        if (frames >= 2) {
            char text[32];
            std::snprintf(text, sizeof(text), "%.3f", (double)least * 1e-4);
            EXPECT_EQ(FigureText(summary, "spacing_min_ms"), text) << walk;
            std::snprintf(text, sizeof(text), "%.3f", (double)most * 1e-4);
            EXPECT_EQ(FigureText(summary, "spacing_max_ms"), text) << walk;
        }
    }
}

TEST(CaptureSummaryTest, ManyGapsAreCutShortWithTheCountLeft) {
    camctl::CaptureSummary summary;
    for (int64_t picture = 0; picture < 100; picture += 2)
        summary.AddFrame(std::nullopt, picture);
    const std::string gaps = FigureText(summary, "gaps");
    EXPECT_EQ(gaps.substr(0, 6), "1,3,5,");
    EXPECT_NE(gaps.find(",... (17 more)"), std::string::npos) << gaps;
    EXPECT_EQ(FigureText(summary, "missing_pictures"), "49");
}

TEST(AccessGuardTest, OnlyTheServedHostWithTheTokenGetsIn) {
    const std::string token = camctl::serve::NewToken();
    ASSERT_EQ(token.size(), 32u);
    EXPECT_NE(camctl::serve::NewToken(), token);
    const camctl::serve::AccessGuard guard(token, {"127.0.0.1:8080", "localhost:8080"});
    const std::string cookie = guard.Cookie().substr(0, guard.Cookie().find(';'));
    const struct {
        std::string host, authorization, cookie, query;
        int status;  // 0: let in
    } cases[] = {
        {"127.0.0.1:8080", "Bearer " + token, "", "", 0},
        {"localhost:8080", "", "", token, 0},
        {"127.0.0.1:8080", "", "theme=dark; " + cookie + "; x=1", "", 0},
        {"127.0.0.1:8080", "", "", "", 401},
        {"127.0.0.1:8080", "Bearer " + token.substr(1), "", "", 401},
        {"127.0.0.1:8080", token, "", "", 401},
        {"127.0.0.1:8080", "", "x" + cookie, token + "0", 401},
        {"127.0.0.1:8081", "Bearer " + token, "", "", 403},
        {"rebound.example:8080", "Bearer " + token, cookie, token, 403},
        {"", "Bearer " + token, "", "", 403},
    };
    for (const auto& c : cases) {
        int status = 0;
        const std::string refusal =
            guard.Check(c.host, c.authorization, c.cookie, c.query, &status);
        EXPECT_EQ(refusal.empty(), c.status == 0)
            << c.host << " " << c.authorization << " " << c.cookie;
        if (c.status != 0)
            EXPECT_EQ(status, c.status) << c.host << " " << refusal;
    }
}

TEST(ListenAddressTest, LoopbackAndNamedAddressesAreTakenWildcardsAreNot) {
    const struct {
        const char* text;
        const char* host_port;  // null: refused
        bool loopback;
    } cases[] = {
        {"127.0.0.1:8080", "127.0.0.1:8080", true},
        {"localhost:0", "127.0.0.1:0", true},
        {"[::1]:9000", "[::1]:9000", true},
        {"192.168.1.20:80", "192.168.1.20:80", false},
        {"0.0.0.0:8080", nullptr, false},
        {"[::]:8080", nullptr, false},
        {"127.0.0.1", nullptr, false},
        {"127.0.0.1:65536", nullptr, false},
        {":8080", nullptr, false},
        {"camera.example:80", nullptr, false},
        {"[::1:80", nullptr, false},
    };
    for (const auto& c : cases) {
        camctl::serve::ListenAddress address;
        const std::string problem = camctl::serve::ParseListenAddress(c.text, &address);
        EXPECT_EQ(problem.empty(), c.host_port != nullptr) << c.text << ": " << problem;
        if (c.host_port != nullptr) {
            EXPECT_EQ(camctl::serve::HostPort(address, address.port), c.host_port);
            EXPECT_EQ(address.loopback, c.loopback) << c.text;
        }
    }
}

// Each 2 x 2 block becomes its rounded mean, top row first whatever the source's row order; an odd
// last row and column are dropped.
TEST(HalveTest, AveragesBlocksTopRowFirst) {
    const uint32_t width = 11, height = 3;
    std::vector<uint8_t> pixels(width * height * 4);
    std::mt19937 random(5);
    for (uint8_t& byte : pixels)
        byte = (uint8_t)random();
    for (bool bottom_up : {false, true}) {
        camtools::ImageView image{pixels.data(), width, height, width * 4, bottom_up};
        std::vector<uint8_t> out;
        const camtools::ImageView half = camtools::Halve(image, &out);
        ASSERT_EQ(half.width, 5u);
        ASSERT_EQ(half.height, 1u);
        EXPECT_FALSE(half.bottom_up);
        for (uint32_t x = 0; x < half.width; ++x) {
            for (int c = 0; c < 4; ++c) {
                unsigned sum = 0;
                for (uint32_t dy = 0; dy < 2; ++dy) {
                    for (uint32_t dx = 0; dx < 2; ++dx)
                        sum += image.TopRow(dy)[(2 * x + dx) * 4 + c];
                }
                EXPECT_EQ(half.bgra[x * 4 + c], (sum + 2) / 4) << bottom_up << " " << x << " " << c;
            }
        }
    }
}

}  // namespace
