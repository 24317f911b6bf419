#include "tools/camctl/frame_files.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace camctl {

namespace {

namespace fs = std::filesystem;

constexpr int kWriterNice = 19;

// The number of integer conversions in a printf pattern, or -1 when it holds any other.
int IntegerConversions(const std::string& pattern) {
    int conversions = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%')
            continue;
        if (++i < pattern.size() && pattern[i] == '%')
            continue;
        while (i < pattern.size() && std::strchr("-+ #0", pattern[i]) != nullptr)
            ++i;
        while (i < pattern.size() && std::isdigit((unsigned char)pattern[i]))
            ++i;
        if (i >= pattern.size() || std::strchr("diu", pattern[i]) == nullptr)
            return -1;
        ++conversions;
    }
    return conversions;
}

}  // namespace

std::string FileNames::Parse(const std::string& path, const std::string& default_pattern) {
    if (path.empty())
        return "the path is empty";
    if (path.find('%') == std::string::npos) {
        std::error_code code;
        if (fs::exists(path, code) && !fs::is_directory(path, code))
            return path + " is a file, not a folder; a pattern names files (frames/f%04d.png)";
        pattern_ = (fs::path(path) / default_pattern).string();
        return "";
    }
    if (IntegerConversions(path) != 1) {
        return "'" + path +
               "' must hold exactly one integer conversion such as %04d (%% for a percent sign)";
    }
    pattern_ = path;
    return "";
}

std::string FileNames::Prepare() const {
    const fs::path folder = fs::path(pattern_).parent_path();
    std::error_code code;
    if (!folder.empty() && !fs::is_directory(folder, code)) {
        fs::create_directories(folder, code);
        if (code)
            return "cannot create the folder " + folder.string() + ": " + code.message();
    }
    return "";
}

std::string FileNames::For(uint64_t number) const {
    const int length = std::snprintf(nullptr, 0, pattern_.c_str(), (int)number);
    std::string name((size_t)length + 1, '\0');
    std::snprintf(name.data(), name.size(), pattern_.c_str(), (int)number);
    name.resize((size_t)length);
    return name;
}

FrameWriter::FrameWriter(camtools::CaptureStream* stream, Output output)
    : stream_(stream), output_(std::move(output)), thread_([this] { Run(); }) {}

FrameWriter::~FrameWriter() {
    Finish();
}

void FrameWriter::Write(FrameJob job) {
    std::lock_guard<std::mutex> guard(mutex_);
    jobs_.push_back(std::move(job));
    changed_.notify_all();
}

std::string FrameWriter::Finish() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        finishing_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
    return error_;
}

bool FrameWriter::failed() {
    std::lock_guard<std::mutex> guard(mutex_);
    return !error_.empty();
}

void FrameWriter::Run() {
    // Below the driver's own threads: a writer that falls behind holds buffers for a while, a
    // conversion that falls behind loses frames.
    setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), kWriterNice);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return finishing_ || !jobs_.empty(); });
        if (jobs_.empty())
            return;
        FrameJob job = std::move(jobs_.front());
        jobs_.pop_front();
        const bool skip = !error_.empty();
        lock.unlock();
        // After a failure the frames still go back to the stream, unwritten.
        const std::string error = skip ? "" : WriteJob(job);
        stream_->Recycle(job.buffer);
        lock.lock();
        if (error_.empty())
            error_ = error;
    }
}

std::string FrameWriter::WriteJob(const FrameJob& job) {
    if (output_.sensor) {
        const std::string path = output_.sensor_names.For(job.number);
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr)
            return "cannot write " + path + ": " + std::strerror(errno);
        const bool written =
            std::fwrite(job.sensor.data(), 1, job.sensor.size(), file) == job.sensor.size();
        if (std::fclose(file) != 0 || !written)
            return "cannot write " + path + ": " + std::strerror(errno);
    }
    if (!output_.frames)
        return "";
    const camtools::client::StreamBuffer* buffer = job.buffer;
    if (output_.format == FrameFormat::kRaw) {
        const size_t size = buffer->header->DataUsed;
        if (std::fwrite(buffer->data, 1, size, output_.raw_file) != size)
            return std::string("cannot write the frames: ") + std::strerror(errno);
        return "";
    }
    camtools::ImageView image;
    image.bgra = buffer->data;
    image.width = stream_->width();
    image.height = stream_->height();
    image.stride = (size_t)image.width * 4;
    image.bottom_up = stream_->bottom_up();
    const std::string path = output_.frame_names.For(job.number);
    return camtools::WriteImage(path,
                                output_.format == FrameFormat::kPng ? camtools::ImageFormat::kPng
                                                                    : camtools::ImageFormat::kBmp,
                                image);
}

}  // namespace camctl
