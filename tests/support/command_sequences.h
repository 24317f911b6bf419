// Reading the camera's command packets as the sequences the driver sends: each packet becomes a
// token, and the tokens must split into whole sequences of known kinds, one after another.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_camera.h"

namespace camtest {

// "W158" a register write, "I11" an item set, "Q15" an item query, "Frame" and "Go" the frame
// read's packets, and the other commands by name.
inline std::string CommandToken(const sim::Packet& packet) {
    switch (packet[0]) {
        case 0x02:
            return "Frame";
        case 0x03:
            return "Go";
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

// The tokens of every command packet the camera received, in order; the frame read's packets are
// left out when `frame_packets` is false, since they may come between those of any sequence.
inline std::vector<std::string> CommandTokens(const sim::SimCamera& camera,
                                              bool frame_packets = true) {
    std::vector<std::string> tokens;
    for (const sim::Packet& packet : camera.records().Commands()) {
        std::string token = CommandToken(packet);
        if (frame_packets || (token != "Frame" && token != "Go"))
            tokens.push_back(token);
    }
    return tokens;
}

// The sequences of each kind the driver sends once the register program has run its two times.
inline const std::vector<std::vector<std::string>> kCommandSequences = {
    {"W158", "W159", "W161", "W162"},  // exposure
    {"W6", "W7"},                      // global gain
    {"I11", "W32", "W33"},             // external trigger
    {"Q15"},                           // clock
    {"Memory"},
    {"Raw"},
    // Bring-up without the program: the wake-up and the settings load.
    {"Wake", "Q15", "W158", "W159", "W161", "W162", "W6", "W7", "I11", "W32", "W33"},
    {"W54", "I0", "I1", "I2", "I3", "Finish", "I14"},  // capture set-up
};

// Empty when the tokens are whole sequences of `kinds` one after another; else where they are
// not. Counts the sequences of each kind.
inline std::string UnparsedSequences(const std::vector<std::string>& tokens,
                                     const std::vector<std::vector<std::string>>& kinds,
                                     std::vector<int>* counts) {
    counts->assign(kinds.size(), 0);
    for (size_t at = 0; at < tokens.size();) {
        const std::vector<std::string>* match = nullptr;
        for (size_t kind = 0; kind < kinds.size(); ++kind) {
            if (kinds[kind][0] == tokens[at]) {
                match = &kinds[kind];
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

// Runs the jobs on threads of their own and waits for all of them. A query whose reply another
// sequence took waits for ever, so a run beyond `limit_s` seconds, far past any normal one, ends
// the test program with `what` instead of hanging the suite.
inline void RunTogether(const std::vector<std::function<void()>>& jobs, int limit_s,
                        const char* what) {
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < limit_s * 10 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) {
            std::fprintf(stderr, "%s still running after %d s\n", what, limit_s);
            std::_Exit(1);
        }
    });
    std::vector<std::thread> threads;
    for (const auto& job : jobs)
        threads.emplace_back(job);
    for (std::thread& thread : threads)
        thread.join();
    done = true;
    watchdog.join();
}

}  // namespace camtest
