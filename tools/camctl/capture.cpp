// camctl capture: frames from the camera into files, as a capture application takes them, and a
// summary of what arrived.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>

#include "tools/camctl/capture_summary.h"
#include "tools/camctl/command.h"
#include "tools/camctl/frame_files.h"
#include "tools/camctl/frame_loop.h"
#include "tools/camctl/stop_signal.h"
#include "tools/common/arguments.h"
#include "tools/common/camera_filter.h"
#include "tools/common/jpeg_encoder.h"
#include "tools/common/status_text.h"

namespace camctl {

namespace {

using camdrv::CameraItem;

struct CaptureOptions {
    int64_t count = 10;
    std::string out;
    std::string format;
    int64_t quality = camtools::kDefaultJpegQuality;
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
// How often a capture waiting for frames looks at the time.
constexpr uint32_t kPollMs = 100;

struct FormatName {
    const char* name;
    FrameFormat format;
    std::vector<std::string> endings;  // the first is the one camctl gives its own names
};

const std::vector<FormatName>& Formats() {
    static const std::vector<FormatName> formats = {
        {"png", FrameFormat::kPng, {".png"}},
        {"bmp", FrameFormat::kBmp, {".bmp"}},
        {"jpeg", FrameFormat::kJpeg, {".jpg", ".jpeg"}},
        {"raw", FrameFormat::kRaw, {".bgra"}},
    };
    return formats;
}

// The format --format names, else the one --out's ending or "-" implies, else png.
const FormatName& ChooseFormat(const CaptureOptions& options) {
    for (const FormatName& format : Formats()) {
        if (options.format == format.name)
            return format;
    }
    for (const FormatName& format : Formats()) {
        for (const std::string& ending : format.endings) {
            if (options.format.empty() && EndsWithIgnoringCase(options.out, ending))
                return format;
        }
    }
    return options.out == "-" ? Formats().back() : Formats().front();
}

struct Plan {
    FrameWriter::Output output;
    bool writing = false;
    bool raw_to_stdout = false;
    std::vector<camtools::Assignment> assignments;
};

std::string PlanRawOutput(const CaptureOptions& options, Plan* plan) {
    std::error_code code;
    if (options.out == "-") {
        if (isatty(STDOUT_FILENO)) {
            return "--out - would write raw frames to the terminal; redirect standard output to "
                   "a file or a program ('> frames.bgra', '| ffmpeg ...')";
        }
        plan->raw_to_stdout = true;
        return "";
    }
    if (options.out.back() == '/' || std::filesystem::is_directory(options.out, code))
        return "--format raw writes one file (or - for standard output), not a folder";
    return "";
}

std::string PlanFrameOutput(const CaptureOptions& options, const FormatName& format, Plan* plan) {
    FrameWriter::Output& output = plan->output;
    output.format = format.format;
    output.quality = (int)options.quality;
    if (options.quality != camtools::kDefaultJpegQuality && output.format != FrameFormat::kJpeg)
        return "--quality applies to --format jpeg only";
    if (options.out.empty())
        return "";
    output.frames = true;
    if (output.format == FrameFormat::kRaw)
        return PlanRawOutput(options, plan);
    if (options.out == "-")
        return "--out - writes raw frames only (--format raw)";
    std::string problem = output.frame_names.Parse(
        options.out, "frame%04d" + format.endings.front(), format.endings, (uint64_t)options.count);
    return problem.empty() ? "" : "--out: " + problem;
}

std::string PlanSensorOutput(const CaptureOptions& options, Plan* plan) {
    FrameWriter::Output& output = plan->output;
    if (options.sensor_out.empty())
        return "";
    output.sensor = true;
    std::string problem = output.sensor_names.Parse(options.sensor_out, "sensor%04d.raw", {".raw"},
                                                    (uint64_t)options.count);
    if (!problem.empty())
        return "--sensor-out: " + problem;
    if (output.frames && output.format == FrameFormat::kRaw &&
        output.sensor_names.For(1) == options.out) {
        return "--out and --sensor-out name the same file";
    }
    return "";
}

// The output the options ask for; returns what is wrong with them, or an empty string.
std::string MakePlan(const CaptureOptions& options, Plan* plan) {
    std::string problem = PlanFrameOutput(options, ChooseFormat(options), plan);
    if (problem.empty())
        problem = PlanSensorOutput(options, plan);
    if (problem.empty()) {
        problem = camtools::ParseAssignments(options.sets, &plan->assignments);
        if (!problem.empty())
            problem = "--set: " + problem;
    }
    plan->writing = plan->output.frames || plan->output.sensor;
    return problem;
}

std::string OpenOutput(const std::string& out, Plan* plan) {
    FrameWriter::Output& output = plan->output;
    std::string problem;
    if (output.frames && output.format != FrameFormat::kRaw)
        problem = output.frame_names.Prepare();
    if (problem.empty() && output.sensor)
        problem = output.sensor_names.Prepare();
    if (problem.empty() && output.frames && output.format == FrameFormat::kRaw &&
        !plan->raw_to_stdout) {
        problem = PrepareFolderOf(out);
        if (problem.empty()) {
            output.raw_file = std::fopen(out.c_str(), "wb");
            if (output.raw_file == nullptr)
                problem = "cannot write " + out + ": " + std::strerror(errno);
        }
    }
    if (plan->raw_to_stdout)
        output.raw_file = stdout;
    return problem;
}

std::string CloseOutput(const std::string& out, const Plan& plan) {
    FILE* raw = plan.output.raw_file;
    if (raw != nullptr && raw != stdout && std::fclose(raw) != 0)
        return "cannot write " + out + ": " + std::strerror(errno);
    if (plan.raw_to_stdout && std::fflush(stdout) != 0)
        return std::string("cannot write the frames: ") + std::strerror(errno);
    return "";
}

// Frames, rate and time left on a terminal, redrawn in place and ended with a new line.
class Progress {
  public:
    explicit Progress(int64_t count)
        : count_(count), shown_(isatty(STDERR_FILENO) != 0), start_(Clock::now()) {}
    void Show(uint64_t frames) {
        if (!shown_)
            return;
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        const double rate = seconds > 0 ? (double)frames / seconds : 0;
        std::fprintf(stderr, "\r\033[Kcamctl capture: %llu of %lld frames",
                     (unsigned long long)frames, (long long)count_);
        if (rate > 0) {
            std::fprintf(stderr, ", %.1f frames/s, %.0f s left", rate,
                         (double)(count_ - (int64_t)frames) / rate);
        }
        std::fflush(stderr);
        drawn_ = true;
    }
    void End() {
        if (shown_ && drawn_)
            std::fputc('\n', stderr);
        drawn_ = false;
    }

  private:
    using Clock = std::chrono::steady_clock;
    int64_t count_;
    bool shown_;
    bool drawn_ = false;
    Clock::time_point start_;
};

// No frame for the whole wait is a failure; said plainly when the camera waits for a trigger.
std::string NoFrame(camtools::CameraFilter& filter, uint32_t wait_ms) {
    std::string problem = "no frame arrived within " + std::to_string(wait_ms) + " ms";
    LONG trigger = 0;
    if (NT_SUCCESS(filter.Get(CameraItem::ExTrigger, &trigger)) && trigger != 0) {
        problem +=
            ": ExTrigger is 1, so the camera waits for an external trigger "
            "('camctl set ExTrigger=0' lets it run free)";
    }
    return problem;
}

// With --sensor-out the camera's trigger is wired to camctl, which releases one frame at a time,
// so each delivered frame is exactly the one the camera sent last.
std::string TakeSensorFrame(sim::SimCamera& camera, const DeliveredFrame& frame,
                            const CaptureOptions& options, uint32_t wait_ms,
                            camtools::CaptureStream& stream, FrameJob* job) {
    std::vector<uint64_t> sent;
    if (camera.records().WaitForSentFrames(frame.number, wait_ms))
        sent = camera.records().SentFrames();
    if (sent.size() != frame.number || (frame.picture && *frame.picture != (int64_t)frame.number))
        return "frame " + std::to_string(frame.number) +
               " is not the one the camera sent last, so its raw frame is unknown";
    // The picture's samples: the camera pads what it sends to a multiple of 2048 bytes.
    job->sensor = camera.records().SentFrameBytes(sent.back());
    job->sensor.resize(std::min(job->sensor.size(), (size_t)stream.width() * stream.height()));
    if (frame.number < (uint64_t)options.count)
        camera.FireTrigger();
    return "";
}

// Takes the frames asked for through `writer` (or straight back, when nothing is written).
std::string TakeFrames(camtools::Session& session, camtools::CameraFilter& filter, FrameLoop& loop,
                       FrameWriter* writer, const CaptureOptions& options) {
    Progress progress(options.count);
    const bool lock_step = !options.sensor_out.empty();
    const auto on_frame = [&](const DeliveredFrame& frame) {
        FrameJob job;
        job.number = frame.number;
        job.buffer = frame.buffer;
        if (lock_step) {
            std::string problem = TakeSensorFrame(session.camera(), frame, options,
                                                  loop.frame_wait_ms(), loop.stream(), &job);
            if (!problem.empty()) {
                loop.Recycle(frame.buffer);
                return problem;
            }
        }
        if (writer != nullptr)
            writer->Write(std::move(job));
        else
            loop.Recycle(frame.buffer);
        progress.Show(frame.number);
        return std::string();
    };
    const auto on_idle = [&](uint32_t idle_ms) {
        return idle_ms < loop.frame_wait_ms() ? "" : NoFrame(filter, loop.frame_wait_ms());
    };
    // A writer that failed has its error, which Finish reports.
    const auto go_on = [&] {
        return loop.frames() < (uint64_t)options.count &&
               (writer == nullptr || !writer->failed()) && !StopRequested();
    };
    std::string problem = loop.Run(go_on, on_frame, on_idle, kPollMs);
    progress.End();
    return problem;
}

int RunCapture(const CommonOptions& common, const CaptureOptions& options) {
    Plan plan;
    std::string problem = MakePlan(options, &plan);
    if (!problem.empty())
        return UsageError("capture", problem);
    CatchStopSignals();
    camtools::Session session(common.Session());
    if (session.device() == nullptr)
        return Fail("capture", session.error());
    camtools::CameraFilter filter(session.device());
    if (!NT_SUCCESS(filter.status()))
        return Fail("capture", "cannot open the filter: " + camtools::StatusText(filter.status()));
    problem = OpenOutput(options.out, &plan);
    if (!problem.empty())
        return Fail("capture", problem);

    const bool lock_step = plan.output.sensor;
    session.camera().records().KeepSentFrames(lock_step ? kKeptSensorFrames : 0);
    LoopOptions loop_options;
    loop_options.stream.buffers = (size_t)options.buffers;
    loop_options.stream.max_held = plan.writing ? kHeldWhileWriting : 0;
    loop_options.stream.master_clock = !options.no_clock;
    loop_options.assignments = plan.assignments;
    loop_options.lock_step = lock_step;
    FrameLoop loop(&session, &filter);
    problem = loop.Start(loop_options);
    std::unique_ptr<FrameWriter> writer;
    if (problem.empty()) {
        if (plan.writing)
            writer = std::make_unique<FrameWriter>(&loop.stream(), plan.output);
        problem = TakeFrames(session, filter, loop, writer.get(), options);
    }
    loop.Stop();
    const std::string write_error = writer != nullptr ? writer->Finish() : "";
    const std::string close_error = CloseOutput(options.out, plan);
    loop.Close();
    filter.Close();
    const std::string session_error = session.Close();
    for (const std::string* later : {&write_error, &close_error, &session_error}) {
        if (problem.empty())
            problem = *later;
    }
    loop.Summary().Print(plan.raw_to_stdout ? stderr : stdout);
    if (!problem.empty())
        return Fail("capture", problem);
    if (StopRequested()) {
        std::fprintf(stderr, "camctl capture: stopped by signal %d after %llu frames\n",
                     StopSignal(), (unsigned long long)loop.frames());
        return StoppedStatus();
    }
    return 0;
}

}  // namespace

Command AddCapture(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand(
        "capture", "stream frames into files and print a summary of what arrived");
    auto options = std::make_shared<CaptureOptions>();
    app->add_option("--count", options->count, "frames to take, 1..1000000 (default 10)")
        ->type_name("N")
        ->check(camtools::IntegerCheck("--count", 1, 1000000));
    app->add_option("--out", options->out,
                    "a folder (a name ending in /, or one that exists: frame0001.png ...), a "
                    "pattern with one number (frames/f%04d.png), one file with --count 1 "
                    "(shot.png); for raw one file, or - for standard output; without it nothing "
                    "is written")
        ->type_name("PATH");
    app->add_option("--format", options->format,
                    "png (default), bmp, jpeg, or raw: the buffers as delivered, bottom-up "
                    "blue-green-red-255; without it, --out's ending picks it")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"png", "bmp", "jpeg", "raw"}));
    app->add_option("--quality", options->quality, "JPEG quality, 1..100 (default 90)")
        ->type_name("Q")
        ->check(camtools::IntegerCheck("--quality", camtools::kMinJpegQuality,
                                       camtools::kMaxJpegQuality));
    app->add_option("--buffers", options->buffers,
                    "buffers kept queued on the pin, 1..64 (default 2)")
        ->type_name("K")
        ->check(camtools::IntegerCheck("--buffers", 1, 64));
    app->add_flag("--no-clock", options->no_clock,
                  "give the pin no clock: no time stamps, no picture numbers");
    app->add_option("--sensor-out", options->sensor_out,
                    "also write the raw frame the camera sent for each delivered frame, W x H "
                    "8-bit samples for camctl convert (a folder: sensor0001.raw ..., a pattern, "
                    "or one .raw file with --count 1); the camera then sends one frame at a time")
        ->type_name("PATH")
        ->check(camtools::NonEmpty("--sensor-out"));
    AddSetOption(app, &options->sets, "a setting made once the pin runs");
    return {app, [&common, options] { return RunCapture(common, *options); }, CommonSet::kFrames};
}

}  // namespace camctl
