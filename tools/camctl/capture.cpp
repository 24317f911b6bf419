// camctl capture: frames from the camera into files, as a capture application takes them, and a
// summary of what arrived.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/verifier.h"
#include "tools/camctl/capture_summary.h"
#include "tools/camctl/command.h"
#include "tools/camctl/frame_files.h"
#include "tools/common/arguments.h"
#include "tools/common/camera_filter.h"
#include "tools/common/capture_stream.h"
#include "tools/common/status_text.h"

namespace camctl {

namespace {

using camdrv::CameraItem;

struct CaptureOptions {
    int64_t count = 10;
    std::string out;
    std::string format;
    int64_t buffers = 2;
    bool no_clock = false;
    std::string sensor_out;
    std::vector<std::string> sets;
};

// Frames being written that the application may hold beyond the queued buffers: slack for a
// writer that falls behind for a moment, at 7.7 MB a frame.
constexpr size_t kHeldWhileWriting = 16;
// The camera keeps the bytes of its last few frames for --sensor-out.
constexpr size_t kKeptSensorFrames = 4;

struct Plan {
    FrameWriter::Output output;
    bool writing = false;
    bool raw_to_stdout = false;
    std::vector<camtools::Assignment> assignments;
};

FrameFormat FormatOf(const std::string& name) {
    return name == "raw"   ? FrameFormat::kRaw
           : name == "bmp" ? FrameFormat::kBmp
                           : FrameFormat::kPng;
}

// The output the options ask for; returns what is wrong with them, or an empty string.
std::string MakePlan(const CaptureOptions& options, Plan* plan) {
    FrameWriter::Output& output = plan->output;
    std::string format = options.format;
    if (format.empty()) {
        // A pattern's ending picks the picture format when --format does not.
        const bool bmp =
            options.out.size() > 4 && options.out.compare(options.out.size() - 4, 4, ".bmp") == 0;
        format = bmp ? "bmp" : "png";
    }
    output.format = FormatOf(format);
    if (!options.out.empty()) {
        output.frames = true;
        if (output.format == FrameFormat::kRaw) {
            std::error_code code;
            if (options.out != "-" && std::filesystem::is_directory(options.out, code))
                return "--format raw writes one file (or - for standard output), not a folder";
            plan->raw_to_stdout = options.out == "-";
        } else {
            const std::string ending = "." + format;
            std::string problem = output.frame_names.Parse(options.out, "frame%04d" + ending);
            if (!problem.empty())
                return "--out: " + problem;
            const std::string& pattern = output.frame_names.pattern();
            if (pattern.size() < ending.size() ||
                pattern.compare(pattern.size() - ending.size(), ending.size(), ending) != 0) {
                return "--out: the names of --format " + format + " files end in " + ending;
            }
        }
    }
    if (!options.sensor_out.empty()) {
        output.sensor = true;
        std::string problem = output.sensor_names.Parse(options.sensor_out, "sensor%04d.raw");
        if (!problem.empty())
            return "--sensor-out: " + problem;
        if (output.frames && output.format != FrameFormat::kRaw &&
            output.sensor_names.pattern() == output.frame_names.pattern()) {
            return "--out and --sensor-out name the same files";
        }
        if (output.frames && output.format == FrameFormat::kRaw &&
            output.sensor_names.For(1) == options.out) {
            return "--out and --sensor-out name the same file";
        }
    }
    std::string problem = camtools::ParseAssignments(options.sets, &plan->assignments);
    if (!problem.empty())
        return "--set: " + problem;
    plan->writing = output.frames || output.sensor;
    return "";
}

std::string OpenOutput(const std::string& out, Plan* plan) {
    FrameWriter::Output& output = plan->output;
    if (output.frames && output.format != FrameFormat::kRaw) {
        std::string problem = output.frame_names.Prepare();
        if (!problem.empty())
            return problem;
    }
    if (output.sensor) {
        std::string problem = output.sensor_names.Prepare();
        if (!problem.empty())
            return problem;
    }
    if (output.frames && output.format == FrameFormat::kRaw) {
        output.raw_file = plan->raw_to_stdout ? stdout : std::fopen(out.c_str(), "wb");
        if (output.raw_file == nullptr)
            return "cannot write " + out + ": " + std::strerror(errno);
    }
    return "";
}

class Progress {
  public:
    explicit Progress(int64_t count) : count_(count), shown_(isatty(STDERR_FILENO) != 0) {}
    ~Progress() {
        if (shown_ && drawn_)
            std::fputc('\n', stderr);
    }
    void Show(uint64_t frames) {
        if (!shown_)
            return;
        std::fprintf(stderr, "\rcamctl capture: %llu of %lld frames", (unsigned long long)frames,
                     (long long)count_);
        std::fflush(stderr);
        drawn_ = true;
    }

  private:
    int64_t count_;
    bool shown_;
    bool drawn_ = false;
};

int RunCapture(const CommonOptions& common, const CaptureOptions& options) {
    Plan plan;
    std::string problem = MakePlan(options, &plan);
    if (!problem.empty())
        return UsageError("capture", problem);

    const camtools::SessionOptions session_options = common.Session();
    camtools::Session session(session_options);
    if (session.device() == nullptr)
        return Fail("capture", session.error());
    camtools::CameraFilter filter(session.device());
    if (!NT_SUCCESS(filter.status()))
        return Fail("capture", "cannot open the filter: " + camtools::StatusText(filter.status()));
    // A read may time out once before the next succeeds.
    LONG timeout_ms = 3000;
    filter.Get(CameraItem::Timeout, &timeout_ms);
    const uint32_t wait_ms = 2 * (uint32_t)timeout_ms + 1000;

    problem = OpenOutput(options.out, &plan);
    if (!problem.empty())
        return Fail("capture", problem);
    FILE* summary_out = plan.raw_to_stdout ? stderr : stdout;

    // With --sensor-out the camera's trigger is wired to camctl, which releases one frame at a
    // time, so each delivered frame is exactly the one the camera sent last. Either way the first
    // frame waits until the settings asked for are made.
    sim::SimCamera& camera = session.camera();
    const bool lock_step = plan.output.sensor;
    camera.records().KeepSentFrames(lock_step ? kKeptSensorFrames : 0);
    camera.SetHostTrigger(true);

    camtools::CaptureStream stream;
    camtools::StreamOptions stream_options;
    stream_options.buffers = (size_t)options.buffers;
    stream_options.max_held = plan.writing ? kHeldWhileWriting : 0;
    stream_options.master_clock = !options.no_clock;
    problem = stream.Open(filter.filter(), stream_options);
    if (!problem.empty())
        return Fail("capture", problem);
    std::unique_ptr<FrameWriter> writer;
    if (plan.writing)
        writer = std::make_unique<FrameWriter>(&stream, plan.output);

    NTSTATUS status = stream.Run();
    if (!NT_SUCCESS(status))
        return Fail("capture", "the capture pin did not run: " + camtools::StatusText(status));
    // The first stream start programs the sensor afresh, so sensor settings are made now.
    problem = filter.SetAll(plan.assignments);

    CaptureSummary summary;
    summary.SetLink(session_options.link_speed, camera.state().AnnouncedFrameSize());
    Progress progress(options.count);
    const uint64_t cpu_start = platform::verifier::DriverCpuNanoseconds();
    if (lock_step)
        camera.FireTrigger();
    else
        camera.SetHostTrigger(false);
    while (problem.empty() && summary.frames() < (uint64_t)options.count) {
        camtools::client::StreamBuffer* buffer = stream.Next(wait_ms);
        if (buffer == nullptr) {
            problem = "no frame arrived within " + std::to_string(wait_ms) + " ms";
            break;
        }
        const KSSTREAM_HEADER& header = *buffer->header;
        if (header.DataUsed == 0) {
            summary.AddEmptyBuffer();
            stream.Recycle(buffer);
            continue;
        }
        std::optional<int64_t> time;
        std::optional<int64_t> picture;
        if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0) {
            time = header.PresentationTime.Time;
            picture = buffer->frame_info->PictureNumber;
        }
        summary.AddFrame(time, picture);
        FrameJob job;
        job.number = summary.frames();
        job.buffer = buffer;
        if (lock_step) {
            std::vector<uint64_t> sent;
            if (camera.records().WaitForSentFrames(job.number, wait_ms))
                sent = camera.records().SentFrames();
            if (sent.size() != job.number || (picture && *picture != (int64_t)job.number)) {
                problem = "frame " + std::to_string(job.number) +
                          " is not the one the camera sent last, so its raw frame is unknown";
                stream.Recycle(buffer);
                break;
            }
            // The picture's samples: the camera pads what it sends to a multiple of 2048 bytes.
            job.sensor = camera.records().SentFrameBytes(sent.back());
            job.sensor.resize(
                std::min(job.sensor.size(), (size_t)stream.width() * stream.height()));
            if (job.number < (uint64_t)options.count)
                camera.FireTrigger();
        }
        if (writer != nullptr)
            writer->Write(std::move(job));
        else
            stream.Recycle(buffer);
        progress.Show(summary.frames());
        if (writer != nullptr && writer->failed())
            break;
    }
    summary.SetDriverCpu(platform::verifier::DriverCpuNanoseconds() - cpu_start);
    // A read waiting for the trigger would hold the stop for a whole time-out.
    camera.SetHostTrigger(false);
    stream.Stop();
    if (writer != nullptr) {
        const std::string write_error = writer->Finish();
        if (problem.empty())
            problem = write_error;
    }
    if (plan.output.raw_file != nullptr && plan.output.raw_file != stdout &&
        std::fclose(plan.output.raw_file) != 0 && problem.empty()) {
        problem = "cannot write " + options.out + ": " + std::strerror(errno);
    }
    if (plan.raw_to_stdout && std::fflush(stdout) != 0 && problem.empty())
        problem = std::string("cannot write the frames: ") + std::strerror(errno);
    stream.Close();
    filter.Close();
    const std::string close_problem = session.Close();
    if (problem.empty())
        problem = close_problem;
    summary.Print(summary_out);
    return problem.empty() ? 0 : Fail("capture", problem);
}

}  // namespace

Command AddCapture(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand(
        "capture", "stream frames into files and print a summary of what arrived");
    auto options = std::make_shared<CaptureOptions>();
    app->add_option("--count", options->count, "frames to take (default 10)")
        ->check(CLI::Range((int64_t)1, (int64_t)1000000));
    app->add_option("--out", options->out,
                    "a folder (frame0001.png ...), a pattern with one number (frames/f%04d.png); "
                    "for raw one file, or - for standard output; without it nothing is written");
    app->add_option("--format", options->format,
                    "png (default), bmp, or raw: the buffers as "
                    "delivered, bottom-up blue-green-red-255")
        ->check(CLI::IsMember({"png", "bmp", "raw"}));
    app->add_option("--buffers", options->buffers, "buffers kept queued on the pin (default 2)")
        ->check(CLI::Range((int64_t)1, (int64_t)64));
    app->add_flag("--no-clock", options->no_clock,
                  "give the pin no clock: no time stamps, no picture numbers");
    app->add_option("--sensor-out", options->sensor_out,
                    "also write the raw frame the camera sent for each delivered frame, W x H "
                    "8-bit samples for camctl convert (a folder: sensor0001.raw ..., or a "
                    "pattern); the camera then sends one frame at a time")
        ->check(camtools::NonEmpty("--sensor-out"));
    app->add_option("--set", options->sets,
                    "NAME=VALUE: a setting made once the pin runs "
                    "(repeatable)")
        ->allow_extra_args(false)
        ->check(camtools::AssignmentCheck());
    return {app, [&common, options] { return RunCapture(common, *options); }};
}

}  // namespace camctl
