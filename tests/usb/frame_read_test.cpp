// The multi-transfer frame read: splitting, content, time-out and cancellation, faults, and
// fault injection at each of its allocations.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera_commands.h"
#include "camera/capture_setup.h"
#include "camera/frame_read.h"
#include "driver/pool_tags.h"
#include "platform/verifier.h"
#include "tests/support/hang_guard.h"
#include "tests/support/rig_test.h"
#include "tests/usb/failing_filter.h"
#include "usb/pool_tags.h"
#include "usb/usb_transport.h"

namespace {

using Clock = std::chrono::steady_clock;

// Frame buffers come from non-paged pool, as the capture worker's slots do.
class PoolBuffer {
  public:
    explicit PoolBuffer(size_t size)
        : data_((PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, size, kFrameBufferTag)),
          size_(size) {}
    ~PoolBuffer() { ExFreePoolWithTag(data_, kFrameBufferTag); }
    PUCHAR data() { return data_; }
    size_t size() const { return size_; }

  private:
    PUCHAR data_;
    size_t size_;
};

class FrameReadTest : public camtest::UsbRigTest {
  protected:
    // Announces a raw frame size to the camera and to the context, as the capture set-up does.
    void AnnounceFrameSize(uint32_t size) {
        camera()->raw_frame_size = size;
        for (UCHAR item = 0; item < 4; ++item) {
            UCHAR packet[kPacketSize] = {0x25, item, (UCHAR)(size >> (8 * item))};
            ASSERT_TRUE(TransferPacket(camera(), kCommandPipe, kPacketSize, packet));
        }
    }
    // Two ways to lose the arm of the next frame read, each armed on a filter.
    struct LostArm {
        const char* name;
        std::function<void(camtest::FailingFilter&)> lose_arm;
    };
    std::vector<LostArm> LostArms() {
        USBD_PIPE_HANDLE command_pipe =
            camera()->usb.interface_info->Pipes[kCommandPipe].PipeHandle;
        return {
            // The bus refuses the arm: the request went through, the arm did not.
            {"refused",
             [command_pipe](camtest::FailingFilter& filter) {
                 filter.FailBulk(command_pipe, 1, 1);
             }},
            // The arm goes on the wire and fails there: the camera may or may not have it.
            {"failed on the wire",
             [this](camtest::FailingFilter& filter) {
                 filter.BeforeCommand(0x02, 2, [this] {
                     sim().SetFaults({.command = {.next = {1, sim::TransferFault::kError}}});
                 });
             }},
        };
    }
    void ExpectIdle() {
        EXPECT_EQ(camera()->transfer_slots, nullptr);
        EXPECT_EQ(camera()->frame_mdl, nullptr);
        EXPECT_EQ(platform::verifier::OutstandingBlocks(kTransferTag), 0u);
        EXPECT_EQ(camera()->usb.pipe_active[kFramePipe], 0);
    }

    // The last frame the camera sent, as it rendered it. The camera counts a frame as sent a
    // moment after the host has taken its last byte.
    void ExpectLastSentFrame(PUCHAR buffer, size_t size, size_t sent_count) {
        ASSERT_TRUE(sim().records().WaitForSentFrames(sent_count, camtest::kHangGuardMs));
        auto sent = sim().records().SentFrames();
        ASSERT_EQ(sent.size(), sent_count);
        ASSERT_FALSE(sent.empty());
        std::vector<uint8_t> expected = sim().RenderFrame(sent.back());
        ASSERT_EQ(expected.size(), size);
        EXPECT_EQ(0, memcmp(expected.data(), buffer, size)) << "frame " << sent.back();
    }
};

TEST_F(FrameReadTest, SplitsTheFrameIntoPiecesOf64KiB) {
    Configure();
    struct Case {
        uint32_t size;
        std::vector<uint32_t> pieces;
    };
    std::vector<uint32_t> full(29, 65536);
    full.push_back(20480);
    size_t frames = 0;
    for (const Case& c : {Case{65536, {65536}}, Case{65537, {65536, 1}}, Case{1921024, full}}) {
        AnnounceFrameSize(c.size);
        sim().ClearQueued();
        PoolBuffer buffer(c.size);
        bool ok = false;
        EXPECT_TRUE(ReadRawFrame(camera(), buffer.data(), &ok)) << c.size;
        EXPECT_TRUE(ok);
        EXPECT_EQ(sim().QueuedLengths(sim::kFrameEndpoint), c.pieces) << c.size;
        ExpectLastSentFrame(buffer.data(), c.size, ++frames);
        ExpectIdle();
    }
    // Each frame is framed by the request, the arm and the go packets.
    std::vector<uint8_t> codes;
    for (const auto& packet : sim().records().Commands()) {
        if (packet[0] == 0x02 || packet[0] == 0x03) {
            codes.push_back(packet[0]);
        }
    }
    EXPECT_EQ(codes, (std::vector<uint8_t>{2, 2, 3, 2, 2, 3, 2, 2, 3}));
}

TEST_F(FrameReadTest, HundredFullFramesMatchTheRenderedScene) {
    Configure();
    // Every read here succeeds: the time-out only guards against a hang, and a sanitizer build
    // under load reads a full frame slowly.
    frame_timeout_ms = 30000;
    StartCapture(camera(), nullptr, 0, 0);
    ASSERT_EQ(camera()->raw_frame_size, 1921024u);
    sim().SetScene(sim::MakeChartScene());
    PoolBuffer buffer(camera()->raw_frame_size);
    // Each frame is checked against the camera's rendering while the next one is read.
    std::future<bool> previous_matches;
    for (size_t i = 0; i < 100; ++i) {
        bool ok = false;
        ASSERT_TRUE(ReadRawFrame(camera(), buffer.data(), &ok)) << "frame " << i;
        ASSERT_TRUE(sim().records().WaitForSentFrames(i + 1, 2000));
        uint64_t frame_number = sim().records().SentFrames().back();
        std::vector<uint8_t> received(buffer.data(), buffer.data() + buffer.size());
        if (previous_matches.valid()) {
            ASSERT_TRUE(previous_matches.get()) << "frame " << i - 1;
        }
        previous_matches = std::async(std::launch::async, [this, frame_number, received] {
            return sim().RenderFrame(frame_number) == received;
        });
    }
    ASSERT_TRUE(previous_matches.get()) << "frame 99";
    ExpectIdle();
}

TEST_F(FrameReadTest, TriggerWithoutTriggerTimesOutAndCancelsEverything) {
    Configure();
    AnnounceFrameSize(4 * 65536);
    ASSERT_TRUE(SetCameraItem(camera(), 11, 1));
    frame_timeout_ms = 250;
    PoolBuffer buffer(camera()->raw_frame_size);
    bool ok = true;
    auto start = Clock::now();
    EXPECT_FALSE(ReadRawFrame(camera(), buffer.data(), &ok));
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_FALSE(ok);
    EXPECT_GE(elapsed.count(), 250);
    ExpectIdle();
    EXPECT_TRUE(sim().records().SentFrames().empty());

    // A changed time-out applies from the next read; a fired trigger delivers that read.
    frame_timeout_ms = 2000;
    std::thread trigger([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sim().FireTrigger();
    });
    EXPECT_TRUE(ReadRawFrame(camera(), buffer.data(), &ok));
    trigger.join();
    EXPECT_TRUE(ok);
    ExpectLastSentFrame(buffer.data(), buffer.size(), 1);
    ExpectIdle();
}

TEST_F(FrameReadTest, StopCaptureEndsAWaitingReadPromptly) {
    Configure();
    AnnounceFrameSize(2 * 65536);
    ASSERT_TRUE(SetCameraItem(camera(), 11, 1));
    frame_timeout_ms = 10000;
    PoolBuffer buffer(camera()->raw_frame_size);
    bool ok = true;
    bool result = true;
    auto start = Clock::now();
    std::thread reader([&] { result = ReadRawFrame(camera(), buffer.data(), &ok); });
    // Abort only once the read has marked its pipe.
    while (__atomic_load_n(&camera()->usb.pipe_active[kFramePipe], __ATOMIC_SEQ_CST) == 0 &&
           Clock::now() - start < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The command pipe is not the read's: a stop must not cut off another thread's command.
    EXPECT_EQ(__atomic_load_n(&camera()->usb.pipe_active[kCommandPipe], __ATOMIC_SEQ_CST), 0);
    EXPECT_EQ(StopCapture(camera()), STATUS_SUCCESS);
    reader.join();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_FALSE(result);
    EXPECT_FALSE(ok);
    EXPECT_LT(elapsed.count(), 5000);
    ExpectIdle();
}

TEST_F(FrameReadTest, StopBeforeTheTransfersAreQueuedEndsTheReadAtOnce) {
    Configure();
    AnnounceFrameSize(3 * 65536);
    frame_timeout_ms = 10000;
    camtest::FailingFilter filter(&camera()->usb);
    // The stop comes between the request and the arm packet: the pipe is marked, nothing queued.
    filter.BeforeCommand(0x02, 2, [this] { EXPECT_EQ(StopCapture(camera()), STATUS_SUCCESS); });
    PoolBuffer buffer(camera()->raw_frame_size);
    bool ok = true;
    auto start = Clock::now();
    EXPECT_FALSE(ReadRawFrame(camera(), buffer.data(), &ok));
    EXPECT_FALSE(ok);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    ExpectIdle();
}

TEST_F(FrameReadTest, ALostArmIsNotSentAgainAndTheReadEndsByTheTimeOut) {
    Configure();
    AnnounceFrameSize(3 * 65536);
    frame_timeout_ms = 200;
    for (const LostArm& c : LostArms()) {
        // Each case starts with the camera between frames: a lost arm leaves it mid-pair.
        sim().ResetPort();
        camtest::FailingFilter filter(&camera()->usb);
        c.lose_arm(filter);
        sim().ClearQueued();
        PoolBuffer buffer(camera()->raw_frame_size);
        bool ok = true;
        auto start = Clock::now();
        EXPECT_FALSE(ReadRawFrame(camera(), buffer.data(), &ok)) << c.name;
        EXPECT_FALSE(ok);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200)) << c.name;
        // Request and arm, no third 0x02 to put the camera's pairs out of step; then the go.
        EXPECT_EQ(filter.CommandsSeen(0x02), 2) << c.name;
        EXPECT_EQ(filter.CommandsSeen(0x03), 1) << c.name;
        EXPECT_EQ(sim().QueuedLengths(sim::kFrameEndpoint),
                  (std::vector<uint32_t>{65536, 65536, 65536}))
            << c.name;
        ExpectIdle();
    }
}

// One arm that never reached the camera costs at most its own frame: the reads after it, with
// nothing failing any more, get their frames again.
TEST_F(FrameReadTest, AfterALostArmTheNextReadsGetTheirFrames) {
    Configure();
    AnnounceFrameSize(3 * 65536);
    PoolBuffer buffer(camera()->raw_frame_size);
    for (const LostArm& c : LostArms()) {
        for (const bool stopped : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (stopped ? ", the read stopped" : ""));
            sim().ResetPort();
            {
                camtest::FailingFilter filter(&camera()->usb);
                c.lose_arm(filter);
                // The frame cannot come: its read ends by the time-out, or by a stop.
                frame_timeout_ms = stopped ? 20000 : 300;
                std::thread stopper([&] {
                    if (stopped) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                        StopCapture(camera());
                    }
                });
                bool ok = true;
                ReadRawFrame(camera(), buffer.data(), &ok);
                stopper.join();
            }
            // Long enough for a slow build to render the camera's first frame.
            frame_timeout_ms = 10000;
            for (int i = 0; i < 3; ++i) {
                bool ok = false;
                EXPECT_TRUE(ReadRawFrame(camera(), buffer.data(), &ok)) << "read " << i;
                EXPECT_TRUE(ok) << "read " << i;
            }
            ExpectIdle();
        }
    }
}

// A camera that fails every read must not be asked again at once: each failed read takes the
// time-out, and a stop ends that wait.
TEST_F(FrameReadTest, AReadThatFailsAtOnceWaitsOutTheTimeOutUnlessStopped) {
    Configure();
    AnnounceFrameSize(3 * 65536);
    struct Case {
        const char* name;
        std::function<void()> fail;
    };
    const Case cases[] = {
        {"every piece of the frame fails",
         [this] { sim().SetFaults({.frame = {.stalled = true}}); }},
        {"the camera is gone", [this] { sim().SetFaults({.disconnected = true}); }},
    };
    PoolBuffer buffer(camera()->raw_frame_size);
    for (const Case& c : cases) {
        c.fail();
        frame_timeout_ms = 150;
        bool ok = true;
        auto start = Clock::now();
        EXPECT_FALSE(ReadRawFrame(camera(), buffer.data(), &ok)) << c.name;
        EXPECT_FALSE(ok) << c.name;
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150)) << c.name;
        ExpectIdle();

        // A read whose request failed resets the port, which may bring the camera back.
        c.fail();
        frame_timeout_ms = 20000;
        start = Clock::now();
        std::thread stopper([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            StopCapture(camera());
        });
        EXPECT_FALSE(ReadRawFrame(camera(), buffer.data(), &ok)) << c.name;
        stopper.join();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << c.name;
        ExpectIdle();
        sim().ResetPort();
    }
}

TEST_F(FrameReadTest, ErrorCompletedTransferDoesNotFailTheFrame) {
    Configure();
    AnnounceFrameSize(3 * 65536);
    sim().SetFaults({.frame = {.next = {1, sim::TransferFault::kError}}});
    PoolBuffer buffer(camera()->raw_frame_size);
    bool ok = false;
    EXPECT_TRUE(ReadRawFrame(camera(), buffer.data(), &ok));
    EXPECT_TRUE(ok);
    ExpectIdle();
}

TEST_F(FrameReadTest, FailedSubmissionResetsThePipeThenRecoversThePort) {
    Configure();
    AnnounceFrameSize(4 * 65536);
    frame_timeout_ms = 200;
    camtest::FailingFilter filter(&camera()->usb);
    USBD_PIPE_HANDLE frame_pipe = camera()->usb.interface_info->Pipes[kFramePipe].PipeHandle;
    PoolBuffer buffer(camera()->raw_frame_size);

    // The reset succeeds: no port recovery.
    filter.FailBulk(frame_pipe, 2, 1);
    int pipe_resets = sim().PipeResets();
    int port_resets = sim().PortResets();
    bool ok = true;
    auto start = Clock::now();
    EXPECT_FALSE(ReadRawFrame(camera(), buffer.data(), &ok));
    EXPECT_FALSE(ok);
    // The frame ends by its time-out, with the submitted transfers cancelled.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(filter.RefusedBulk(), 1);
    EXPECT_EQ(sim().PipeResets() - pipe_resets, 1);
    EXPECT_EQ(sim().PortResets() - port_resets, 0);
    ExpectIdle();

    // The reset fails too: the port status decides on a port reset.
    filter.FailPipeResets(true);
    sim().OverridePortStatus(USBD_PORT_CONNECTED);
    filter.FailBulk(frame_pipe, 0, 1);
    EXPECT_FALSE(ReadRawFrame(camera(), buffer.data(), &ok));
    EXPECT_EQ(filter.RefusedResets(), 1);
    EXPECT_EQ(sim().PortResets() - port_resets, 1);
    ExpectIdle();

    sim().OverridePortStatus(USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
    filter.FailBulk(frame_pipe, 3, 1);
    EXPECT_FALSE(ReadRawFrame(camera(), buffer.data(), &ok));
    EXPECT_EQ(filter.RefusedResets(), 2);
    EXPECT_EQ(sim().PortResets() - port_resets, 1);
    ExpectIdle();

    // Nothing is left behind: the next frame reads whole.
    sim().OverridePortStatus(-1);
    filter.FailPipeResets(false);
    ASSERT_TRUE(sim().WaitSenderIdle(2000));
    size_t sent = sim().records().SentFrames().size();
    EXPECT_TRUE(ReadRawFrame(camera(), buffer.data(), &ok));
    ExpectLastSentFrame(buffer.data(), buffer.size(), sent + 1);
}

TEST_F(FrameReadTest, ZeroFrameSizeIsRefusedAtOnce) {
    Configure();
    camera()->raw_frame_size = 0;
    UCHAR byte = 0;
    bool ok = true;
    auto start = Clock::now();
    EXPECT_FALSE(ReadRawFrame(camera(), &byte, &ok));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    ExpectIdle();
}

TEST_F(FrameReadTest, AllocationFailureAnywhereInAReadLeaksNothingAndLeavesNothingPending) {
    Configure();
    AnnounceFrameSize(5 * 65536 + 4096);
    PoolBuffer buffer(camera()->raw_frame_size);
    bool ok = true;
    // A read with every allocation granted, given the time a loaded sanitizer build needs.
    auto healthy_read = [&](const std::string& after) {
        size_t sent = sim().records().SentFrames().size();
        frame_timeout_ms = (LONG)camtest::kHangGuardMs;
        ASSERT_TRUE(ReadRawFrame(camera(), buffer.data(), &ok)) << "after " << after;
        ExpectLastSentFrame(buffer.data(), buffer.size(), sent + 1);
    };
    bool reached_end = false;
    uint64_t n = 1;
    for (; n < 200 && !reached_end; ++n) {
        uint64_t injected = platform::verifier::InjectedFailures();
        platform::verifier::FailNthAllocation(n);
        ok = true;
        // A failed read waits out its time-out, so the sweep keeps it short; the read that meets
        // no fault at all may then time out too under load, and the healthy read that follows
        // shows that such a read succeeds.
        frame_timeout_ms = 1000;
        bool result = ReadRawFrame(camera(), buffer.data(), &ok);
        reached_end = platform::verifier::InjectedFailures() == injected;
        platform::verifier::ClearFaults();
        EXPECT_EQ(result, ok);
        ExpectIdle();
        ASSERT_TRUE(sim().WaitSenderIdle(camtest::kHangGuardMs));
        // The camera is left in a state from which the next frame reads whole.
        healthy_read("allocation " + std::to_string(n));
    }
    EXPECT_TRUE(reached_end);
    EXPECT_GT(n, 10u);
}

}  // namespace
