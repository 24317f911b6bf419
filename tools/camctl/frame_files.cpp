#include "tools/camctl/frame_files.h"

#include "camdrv/camera_properties.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
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

bool EndsWithIgnoringCase(const std::string& path, const std::string& ending) {
    return path.size() >= ending.size() &&
           camdrv::SameNameIgnoringCase(path.c_str() + path.size() - ending.size(), ending.c_str());
}

std::string FileNames::Parse(const std::string& path, const std::string& default_name,
                             const std::vector<std::string>& endings, uint64_t count) {
    if (path.empty())
        return "the path is empty";
    std::error_code code;
    if (path.back() == '/' || fs::is_directory(path, code)) {
        pattern_ = (fs::path(path) / default_name).string();
        return "";
    }
    const bool known_ending = std::any_of(endings.begin(), endings.end(), [&](const auto& e) {
        return EndsWithIgnoringCase(path, e);
    });
    const std::string ending = endings.front();
    if (path.find('%') != std::string::npos) {
        if (IntegerConversions(path) != 1) {
            return "'" + path +
                   "' must hold exactly one integer conversion such as %04d (%% for a percent "
                   "sign)";
        }
        if (!known_ending)
            return "the names of these files end in " + ending + ", not as in '" + path + "'";
        pattern_ = path;
        return "";
    }
    if (!known_ending) {
        if (fs::exists(path, code))
            return path + " is a file, not a folder; a pattern names files (f%04d" + ending + ")";
        return "'" + path + "' is neither a folder (end it with /) nor a file name ending in " +
               ending + " nor a pattern (f%04d" + ending + ")";
    }
    if (count != 1) {
        const std::string stem = path.substr(0, path.size() - ending.size());
        return path + " names one file, but " + std::to_string(count) +
               " frames are asked for: give a folder (" + stem + "/) or a pattern (" + stem +
               "%04d" + ending + ")";
    }
    pattern_ = path;
    single_ = true;
    return "";
}

std::string PrepareFolderOf(const std::string& path) {
    const fs::path folder = fs::path(path).parent_path();
    std::error_code code;
    if (folder.empty() || fs::is_directory(folder, code))
        return "";
    const fs::path above = folder.parent_path();
    if (!above.empty() && !fs::is_directory(above, code))
        return "the folder " + above.string() + " does not exist, so " + folder.string() +
               " cannot be made in it";
    if (!fs::create_directory(folder, code) && code)
        return "cannot create the folder " + folder.string() + ": " + code.message();
    return "";
}

std::string FileNames::Prepare() const {
    return PrepareFolderOf(pattern_);
}

std::string FileNames::For(uint64_t number) const {
    if (single_)
        return pattern_;
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
    if (output_.format == FrameFormat::kJpeg) {
        std::string problem = jpeg_encoder_.Encode(image, output_.quality, false, &jpeg_);
        if (!problem.empty())
            return problem;
        return camtools::WriteFileBytes(path, jpeg_.data(), jpeg_.size());
    }
    return camtools::WriteImage(path,
                                output_.format == FrameFormat::kPng ? camtools::ImageFormat::kPng
                                                                    : camtools::ImageFormat::kBmp,
                                image);
}

}  // namespace camctl
