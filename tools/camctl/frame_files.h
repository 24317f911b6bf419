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
#include "tools/common/jpeg_encoder.h"

namespace camctl {

// Where numbered files go, as --out and --sensor-out name it: a folder (a name ending in / or an
// existing folder; files `default_name` in it), a pattern with exactly one integer conversion
// (frames/f%04d.png), or, for a single file, its name. Names end in one of the given endings. The
// folder that holds the files may be created, but not a chain of folders above it.
class FileNames {
  public:
    // Returns what is wrong with `path` for `count` files, or an empty string.
    std::string Parse(const std::string& path, const std::string& default_name,
                      const std::vector<std::string>& endings, uint64_t count);
    // Creates the folder the names go into when it is missing and its own folder exists.
    std::string Prepare() const;
    std::string For(uint64_t number) const;
    // The printf pattern, or the single file's name.
    const std::string& pattern() const { return pattern_; }

  private:
    std::string pattern_;
    bool single_ = false;
};

// Whether `path` ends in `ending`, in any case.
bool EndsWithIgnoringCase(const std::string& path, const std::string& ending);
// The folder a file of `path` goes into, created when missing (never a chain of folders).
std::string PrepareFolderOf(const std::string& path);

enum class FrameFormat { kPng, kBmp, kJpeg, kRaw };

struct FrameJob {
    uint64_t number = 0;  // 1 for the first frame delivered
    camtools::client::StreamBuffer* buffer = nullptr;
    std::vector<uint8_t> sensor;  // the raw frame the camera sent, when asked for
};

class FrameWriter {
  public:
    struct Output {
        FrameFormat format = FrameFormat::kPng;
        int quality = camtools::kDefaultJpegQuality;  // kJpeg
        bool frames = false;                          // write the delivered frames
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
    camtools::JpegEncoder jpeg_encoder_;
    std::vector<uint8_t> jpeg_;
    std::thread thread_;
};

}  // namespace camctl
