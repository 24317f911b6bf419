// Where capture puts its frames: file names from a folder or a printf-style pattern, and the
// thread that writes delivered frames (and the raw frames the camera sent for them) while the
// capture goes on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/capture_stream.h"
#include "tools/common/image_files.h"

namespace camctl {

// A folder (created when missing; files `default_pattern` in it) or a pattern with exactly one
// integer conversion (frames/f%04d.png).
class FileNames {
  public:
    // Returns what is wrong with `path`, or an empty string.
    std::string Parse(const std::string& path, const std::string& default_pattern);
    // Creates the folder the names go into.
    std::string Prepare() const;
    std::string For(uint64_t number) const;
    const std::string& pattern() const { return pattern_; }

  private:
    std::string pattern_;
};

enum class FrameFormat { kPng, kBmp, kRaw };

struct FrameJob {
    uint64_t number = 0;  // 1 for the first frame delivered
    camtools::client::StreamBuffer* buffer = nullptr;
    std::vector<uint8_t> sensor;  // the raw frame the camera sent, when asked for
};

class FrameWriter {
  public:
    struct Output {
        FrameFormat format = FrameFormat::kPng;
        bool frames = false;  // write the delivered frames
        FileNames frame_names;
        FILE* raw_file = nullptr;  // kRaw: every frame into this file, in order
        bool sensor = false;       // write the raw frames
        FileNames sensor_names;
    };
    FrameWriter(camtools::CaptureStream* stream, Output output);
    // Waits for the queued frames to be written.
    ~FrameWriter();

    // Takes the job's buffer; it goes back to the stream once written.
    void Write(FrameJob job);
    // Waits until every frame handed over is written; returns the first error, or empty.
    std::string Finish();
    bool failed();

  private:
    void Run();
    std::string WriteJob(const FrameJob& job);

    camtools::CaptureStream* stream_;
    Output output_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FrameJob> jobs_;
    bool finishing_ = false;
    std::string error_;
    std::thread thread_;
};

}  // namespace camctl
