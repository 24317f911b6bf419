// Command sequences started from many threads at once, as property requests, stream starts,
// re-initialisations and device start and stop would start them: the camera receives one whole
// sequence after another, and every answer is the one its own query asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera_commands.h"
#include "camera/camera_parameters.h"
#include "camera/capture_setup.h"
#include "control/settings_persistence.h"
#include "driver/camera_init.h"
#include "sim/device_memory.h"
#include "tests/support/camera_device.h"

namespace {

// What a packet is, for reading the wire as sequences: "W158" a register write, "I11" an item set,
// "Q15" an item query, and the other commands by name.
std::string Token(const sim::Packet& packet) {
    switch (packet[0]) {
        case 0x04: {
            const uint32_t word =
                packet[2] | packet[3] << 8 | packet[4] << 16 | (uint32_t)packet[5] << 24;
            return "W" + std::to_string(word & 0x3FF);
        }
        case 0x25:
            return "I" + std::to_string(packet[1]);
        case 0x26:
            return "Q" + std::to_string(packet[1]);
        case 0x06:
            return "Wake";
        case 0x0A:
            return "Finish";
        case 0x40:
            return "Raw";
        case 0x41:
            return "Memory";
        default:
            return "?" + std::to_string(packet[0]);
    }
}

const std::vector<std::vector<std::string>> kSequences = {
    {"W158", "W159", "W161", "W162"},  // exposure
    {"W6", "W7"},                      // global gain
    {"I11", "W32", "W33"},             // external trigger
    {"Q15"},                           // clock
    {"Memory"},
    {"Raw"},
    // Bring-up without the program, which has run twice: the wake-up and the settings load.
    {"Wake", "Q15", "W158", "W159", "W161", "W162", "W6", "W7", "I11", "W32", "W33"},
    {"W54", "I0", "I1", "I2", "I3", "Finish", "I14"},  // capture set-up
};

// Empty when the tokens are whole sequences one after another; else where they are not. Counts
// the sequences of each kind.
std::string Unparsed(const std::vector<std::string>& tokens, std::vector<int>* counts) {
    counts->assign(kSequences.size(), 0);
    for (size_t at = 0; at < tokens.size();) {
        const std::vector<std::string>* match = nullptr;
        for (size_t kind = 0; kind < kSequences.size(); ++kind) {
            if (kSequences[kind][0] == tokens[at]) {
                match = &kSequences[kind];
                ++(*counts)[kind];
            }
        }
        std::string context;
        for (size_t k = at; k < tokens.size() && k < at + 12; ++k)
            context += tokens[k] + " ";
        if (match == nullptr)
            return "no sequence starts with packet " + std::to_string(at) + ": " + context;
        for (size_t k = 0; k < match->size(); ++k) {
            if (at + k >= tokens.size() || tokens[at + k] != (*match)[k])
                return "sequence broken at packet " + std::to_string(at + k) + ": " + context;
        }
        at += match->size();
    }
    return "";
}

class CommandSequenceTest : public camtest::CameraDeviceTest {
  protected:
    void SetUp() override {
        CameraDeviceTest::SetUp();
        platform::registry::SetStoreFile("");
        sim().SetClockSetting(1);
        Replug();
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        Stop();
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_EQ(camera()->startup_sequence_count, 2);
        sim().ClearRecords();
    }
    void TearDown() override {
        Stop();
        CameraDeviceTest::TearDown();
    }
};

TEST_F(CommandSequenceTest, SequencesFromManyThreadsNeverInterleaveOnTheWire) {
    const uint32_t address = 0x0ABC;
    const UCHAR stored = sim::DeviceMemoryByte(address);
    SetRegisterIndex(camera(), (LONG)address);
    std::atomic<int> wrong_answers{0};
    CameraContext* camera = this->camera();
    // A call made while the device is stopped fails at once and sends nothing, so the workers
    // count the calls that reached the camera, and wait a moment for the restart after a failure.
    auto until_sent = [](int count, const std::function<bool(int)>& call) {
        for (int i = 0, sent = 0; sent < count; ++i) {
            if (call(i))
                ++sent;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    const std::vector<std::function<void()>> work = {
        [&] { until_sent(20, [&](int i) { return SetExposure(camera, 100 + (ULONG)i); }); },
        [&] { until_sent(20, [&](int i) { return SetGlobalGain(camera, 200 + (ULONG)i); }); },
        [&] { until_sent(20, [&](int i) { return SetExternalTrigger(camera, (UCHAR)(i % 2)); }); },
        [&] {
            until_sent(20, [&](int) {
                if (GetClock(camera) != 1)
                    ++wrong_answers;
                // Left alone when the read fails.
                UCHAR value = (UCHAR)~stored;
                ReadCameraMemory(camera, &value);
                if (value != stored && value != (UCHAR)~stored)
                    ++wrong_answers;
                return value == stored;
            });
        },
        [&] {
            const UCHAR bytes[3] = {1, 2, 3};
            until_sent(20, [&](int) { return SendRawCommand(camera, 3, bytes); });
        },
        [&] {
            for (int i = 0; i < 4; ++i) {
                InitializeCamera(camera);
                SaveSettings(camera);
            }
        },
        [&] {
            for (int i = 0; i < 4; ++i)
                StartCapture(camera, nullptr, 0, 0);
        },
        [&] {
            for (int i = 0; i < 3; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                Stop();
                Start();
            }
        },
    };
    // A query whose reply another sequence took waits for ever: a run far beyond any normal one
    // ends the test instead.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 600 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) {
            std::fprintf(stderr, "command sequences still running after a minute\n");
            std::_Exit(1);
        }
    });
    std::vector<std::thread> threads;
    for (const auto& job : work)
        threads.emplace_back(job);
    for (std::thread& thread : threads)
        thread.join();
    done = true;
    watchdog.join();

    EXPECT_EQ(wrong_answers, 0);
    std::vector<std::string> tokens;
    for (const sim::Packet& packet : sim().Commands())
        tokens.push_back(Token(packet));
    std::vector<int> counts;
    EXPECT_EQ(Unparsed(tokens, &counts), "");
    // Every worker that counts got its calls through (the clock queries go with the memory reads,
    // not counted themselves); the three restarts each woke the camera.
    for (size_t kind : {0, 1, 2, 4, 5})
        EXPECT_GE(counts[kind], 20) << "sequences starting with " << kSequences[kind][0];
    EXPECT_GE(counts[3], 1) << "clock queries";
    EXPECT_GE(counts[6], 3) << "wake-ups";
    EXPECT_TRUE(sim().ProtocolErrors().empty()) << sim().ProtocolErrors()[0].what;
}

}  // namespace
