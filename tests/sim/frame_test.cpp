// Frame read-out: the announced size, the request / arm / go sequence, the external trigger,
// discarding untaken data and dropped frames.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "camera_harness.h"

namespace sim_test {
namespace {

using sim::kFrameEndpoint;

class SimFrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.camera.SetWindow(64, 32);
        h.SetExposure(100);
        h.SetGain(512);
        h.AnnounceFrameSize(2048);
    }

    CameraHarness h;
};

TEST_F(SimFrameTest, AnnouncedSizeIsSentExactlyAfterRequestArmAndGo) {
    EXPECT_EQ(h.camera.state().AnnouncedFrameSize(), 2048u);
    h.AnnounceFrameSize(0x1D5000);
    EXPECT_EQ(h.camera.state().AnnouncedFrameSize(), 1921024u);
    h.AnnounceFrameSize(2048);

    h.Send(MakePacket({0x02}));
    h.Send(MakePacket({0x02}));
    ASSERT_TRUE(h.camera.WaitSenderIdle(1000));
    EXPECT_TRUE(h.link.Events(kFrameEndpoint, LinkEvent::kSend).empty());
    EXPECT_EQ(h.link.Events(kFrameEndpoint, LinkEvent::kFlush).size(), 1u);

    h.Send(MakePacket({0x03}));
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(1, 5000));
    const std::vector<uint8_t> data = h.link.Data(kFrameEndpoint);
    EXPECT_EQ(data.size(), 2048u);
    EXPECT_EQ(data, h.camera.RenderFrame(0));

    h.RequestFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(2, 5000));
    EXPECT_EQ(h.link.Data(kFrameEndpoint), h.camera.RenderFrame(1));
    EXPECT_EQ(h.camera.records().SentFrames(), (std::vector<uint64_t>{0, 1}));
    EXPECT_TRUE(h.camera.records().ProtocolErrors().empty());
}

TEST_F(SimFrameTest, WindowIsPaddedOrCutToTheAnnouncedSize) {
    h.camera.SetWindow(40, 30);  // 1200 bytes
    const std::vector<uint8_t> padded = h.camera.RenderFrame(0);
    ASSERT_EQ(padded.size(), 2048u);
    for (size_t i = 1200; i < padded.size(); ++i) {
        ASSERT_EQ(padded[i], 0) << i;
    }
    h.RequestFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(1, 5000));
    EXPECT_EQ(h.link.Data(kFrameEndpoint), padded);

    h.camera.SetWindow(64, 64);  // 4096 bytes, cut to 2048
    h.AnnounceFrameSize(4096);
    const std::vector<uint8_t> whole = h.camera.RenderFrame(1);
    h.AnnounceFrameSize(2048);
    h.RequestFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(2, 5000));
    const std::vector<uint8_t> cut = h.link.Data(kFrameEndpoint);
    ASSERT_EQ(cut.size(), 2048u);
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), whole.begin()));
}

TEST_F(SimFrameTest, GoWithoutRequestAndArmSendsNothing) {
    h.Send(MakePacket({0x03}));
    h.Send(MakePacket({0x02}));
    h.Send(MakePacket({0x03}));  // requested but not armed
    ASSERT_TRUE(h.camera.WaitSenderIdle(1000));
    EXPECT_TRUE(h.link.Events(kFrameEndpoint, LinkEvent::kSend).empty());
    EXPECT_EQ(h.camera.records().ProtocolErrors().size(), 2u);

    h.AnnounceFrameSize(0);
    h.RequestFrame();
    ASSERT_TRUE(h.camera.WaitSenderIdle(1000));
    EXPECT_TRUE(h.link.Events(kFrameEndpoint, LinkEvent::kSend).empty());
    EXPECT_EQ(h.camera.records().ProtocolErrors().size(), 3u);
}

TEST_F(SimFrameTest, ExternalTriggerHoldsTheFrameUntilFired) {
    h.SetItem(11, 1);
    h.RequestFrame();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(h.link.Data(kFrameEndpoint).empty());
    EXPECT_TRUE(h.camera.FireTrigger());
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(1, 5000));
    EXPECT_EQ(h.link.Data(kFrameEndpoint), h.camera.RenderFrame(0));

    // A trigger with no frame waiting is latched for the next one.
    EXPECT_FALSE(h.camera.FireTrigger());
    h.RequestFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(2, 5000));

    // Leaving trigger mode releases a waiting frame.
    h.RequestFrame();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(h.camera.records().SentFrames().size(), 2u);
    h.SetItem(11, 0);
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(3, 5000));

    // A latched trigger does not survive a mode change.
    h.SetItem(11, 1);
    EXPECT_FALSE(h.camera.FireTrigger());
    h.SetItem(11, 1);
    h.RequestFrame();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(h.camera.records().SentFrames().size(), 3u);
}

TEST_F(SimFrameTest, TheHostTriggerStepsFramesAndTheLastSentAreKeptAsSent) {
    h.camera.records().KeepSentFrames(2);
    h.camera.SetHostTrigger(true);
    for (uint64_t frame = 0; frame < 3; ++frame) {
        h.RequestFrame();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(h.camera.records().SentFrames().size(), frame) << frame;
        EXPECT_TRUE(h.camera.FireTrigger());
        ASSERT_TRUE(h.camera.records().WaitForSentFrames(frame + 1, 5000));
    }
    EXPECT_TRUE(h.camera.records().SentFrameBytes(0).empty());
    EXPECT_EQ(h.camera.records().SentFrameBytes(1), h.camera.RenderFrame(1));
    EXPECT_EQ(h.camera.records().SentFrameBytes(2), h.link.Data(kFrameEndpoint));

    // Unwiring the trigger releases the frame that waits for it.
    h.RequestFrame();
    h.camera.SetHostTrigger(false);
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(4, 5000));
}

TEST_F(SimFrameTest, NewRequestDiscardsTheFrameTheHostDidNotTake) {
    h.camera.SetWindow(256, 256);
    h.AnnounceFrameSize(65536);
    h.camera.SetLinkSpeed(400'000);  // about 160 ms per frame
    h.RequestFrame();
    ASSERT_TRUE(h.link.WaitForData(kFrameEndpoint, 16384, 5000));

    h.Send(MakePacket({0x02}));
    const size_t sends_at_flush = h.link.Events(kFrameEndpoint, LinkEvent::kSend).size();
    const std::vector<LinkEvent> events = h.link.Events();
    ASSERT_EQ(events.back().kind, LinkEvent::kFlush);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(h.link.Events(kFrameEndpoint, LinkEvent::kSend).size(), sends_at_flush);
    EXPECT_TRUE(h.camera.records().SentFrames().empty());

    h.camera.SetLinkSpeed(0);
    h.Send(MakePacket({0x02}));
    h.Send(MakePacket({0x03}));
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(1, 5000));
    EXPECT_EQ(h.camera.records().SentFrames(), (std::vector<uint64_t>{1}));
    EXPECT_EQ(h.link.Data(kFrameEndpoint), h.camera.RenderFrame(1));
}

TEST_F(SimFrameTest, LinkSpeedPacesTheFrame) {
    h.camera.SetWindow(256, 256);
    h.AnnounceFrameSize(65536);
    h.camera.SetLinkSpeed(1'000'000);
    const auto start = std::chrono::steady_clock::now();
    h.RequestFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(1, 5000));
    // 65536 bytes at 1 MB/s cannot arrive in less than 65 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_EQ(h.link.Data(kFrameEndpoint).size(), 65536u);
    for (const LinkEvent& event : h.link.Events(kFrameEndpoint, LinkEvent::kSend)) {
        EXPECT_EQ(event.data.size() % 512, 0u);
    }
}

TEST_F(SimFrameTest, DroppedFrameIsNeverSent) {
    h.camera.SetFaults({.drop_frames = 1});
    h.RequestFrame();
    ASSERT_TRUE(h.camera.WaitSenderIdle(1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(h.link.Data(kFrameEndpoint).empty());
    h.RequestFrame();
    ASSERT_TRUE(h.camera.records().WaitForSentFrames(1, 5000));
    // The dropped frame still took its number: the scene moved on.
    EXPECT_EQ(h.camera.records().SentFrames(), (std::vector<uint64_t>{1}));
    EXPECT_EQ(h.link.Data(kFrameEndpoint), h.camera.RenderFrame(1));
}

// A seeded walk of frames with the scene, the window and the sensor settings changed between some
// of them, and frames dropped: every frame sent is the one RenderFrame makes from scratch.
TEST_F(SimFrameTest, EachSentFrameIsItsRenderingWhateverChangedBeforeIt) {
    struct Window {
        uint32_t width, height, size;
    };
    const Window windows[] = {{64, 32, 2048}, {200, 150, 30720}, {321, 241, 75000}};
    const std::shared_ptr<const sim::Scene> scenes[] = {sim::MakeChartScene(),
                                                        sim::MakeFlatScene(90)};
    std::mt19937 random(7);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    h.camera.SetScene(scenes[0]);
    uint64_t frame = 0;
    for (int step = 0; step < 60; ++step) {
        switch (pick(8)) {
            case 0:
                h.SetExposure(pick(4096));
                break;
            case 1:
                h.SetGain(pick(1024));
                break;
            case 2: {
                const Window& w = windows[pick(3)];
                h.camera.SetWindow(w.width, w.height);
                h.AnnounceFrameSize(w.size);
                break;
            }
            case 3:
                h.camera.SetScene(scenes[pick(2)]);
                break;
            case 4:
                h.camera.SetNoise(pick(2) == 0);
                h.camera.SetSeed(pick(3));
                break;
            case 5:
                h.camera.SetFaults({.drop_frames = 1 + pick(40)});
                while (h.camera.faults().drop_frames > 0) {
                    h.RequestFrame();
                    ++frame;
                }
                break;
            default:
                break;  // most frames follow the one before unchanged
        }
        h.RequestFrame();
        ASSERT_TRUE(h.camera.records().WaitForSentFrames(step + 1, 5000)) << step;
        ASSERT_EQ(h.camera.records().SentFrames().back(), frame) << step;
        ASSERT_EQ(h.link.Data(kFrameEndpoint), h.camera.RenderFrame(frame)) << step;
        ++frame;
    }
}

TEST(SimFrameLifetimeTest, DestroyingTheCameraMidFrameIsPrompt) {
    FakeLink link;
    auto camera = std::make_unique<sim::SimCamera>();
    camera->Attach(&link);
    camera->SetConfiguration(1);
    camera->SetWindow(256, 256);
    camera->SetLinkSpeed(16384);  // one chunk a second, four seconds a frame
    const uint8_t size_items[4] = {0x00, 0x00, 0x01, 0x00};
    for (uint8_t i = 0; i < 4; ++i) {
        const sim::Packet item = MakePacket({0x25, i, size_items[i]});
        camera->Out(sim::kCommandEndpoint, item.data(), 64);
    }
    for (uint8_t code : {0x02, 0x02, 0x03}) {
        const sim::Packet packet = MakePacket({code});
        camera->Out(sim::kCommandEndpoint, packet.data(), 64);
    }
    ASSERT_TRUE(link.WaitForData(kFrameEndpoint, 16384, 5000));
    const auto start = std::chrono::steady_clock::now();
    camera.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace sim_test
