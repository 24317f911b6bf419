// The cost of camctl serve's preview: JPEG encoding of a delivered chart frame, halved (the
// preview's default) and at full size; and the delivered frame rate at the default link while one
// viewer takes pictures as fast as it can, against the rate the link allows.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/scratch_folder.h"
#include "tools/camctl/frame_loop.h"
#include "tools/camctl/serve/frame_broadcaster.h"
#include "tools/common/jpeg_encoder.h"

namespace {

constexpr int kWarmUpFrames = 5;
constexpr uint64_t kFrames = 60;
constexpr uint32_t kPollMs = 100;
constexpr uint32_t kViewerWaitMs = 250;

// A session with a running pin at the default link, frames taken through the capture loop.
class Preview {
  public:
    Preview() : session_(Options(folder_)), filter_(session_.device()), loop_(&session_, &filter_) {
        camctl::LoopOptions options;
        options.stream.buffers = 3;
        options.stream.max_held = 4;
        ready_ = session_.device() != nullptr && NT_SUCCESS(filter_.status()) &&
                 loop_.Start(options).empty();
    }
    ~Preview() {
        loop_.Close();
        filter_.Close();
        session_.Close();
    }
    bool ready() const { return ready_; }
    camctl::FrameLoop& loop() { return loop_; }

    // Hands each frame to `frames` until `count` more have come.
    bool Take(camctl::serve::FrameBroadcaster* frames, uint64_t count) {
        const uint64_t until = loop_.frames() + count;
        const auto on_frame = [&](const camctl::DeliveredFrame& delivered) {
            auto* frame = new camctl::serve::Frame{View(delivered), delivered.number, {}};
            camtools::client::StreamBuffer* buffer = delivered.buffer;
            frames->Publish(camctl::serve::FramePtr(frame, [this, buffer](const auto* done) {
                loop_.Recycle(buffer);
                delete done;
            }));
            return std::string();
        };
        const auto on_idle = [&](uint32_t idle_ms) {
            return idle_ms < loop_.frame_wait_ms() ? "" : "no frame";
        };
        return loop_.Run([&] { return loop_.frames() < until; }, on_frame, on_idle, kPollMs)
            .empty();
    }

    camtools::ImageView View(const camctl::DeliveredFrame& delivered) {
        camtools::ImageView image;
        image.bgra = delivered.buffer->data;
        image.width = loop_.stream().width();
        image.height = loop_.stream().height();
        image.stride = (size_t)image.width * 4;
        image.bottom_up = loop_.stream().bottom_up();
        return image;
    }

  private:
    // The benchmark's own settings file, so that no run reads or changes the user's.
    static camtools::SessionOptions Options(const camtest::ScratchFolder& folder) {
        camtools::SessionOptions options;
        options.registry = folder.File("settings.reg");
        return options;
    }

    camtest::ScratchFolder folder_{"preview_bench"};
    camtools::Session session_;
    camtools::CameraFilter filter_;
    camctl::FrameLoop loop_;
    bool ready_ = false;
};

void BM_PreviewJpeg(benchmark::State& state) {
    const bool half = state.range(0) != 0;
    Preview preview;
    camctl::serve::FrameBroadcaster frames(camtools::kDefaultJpegQuality);
    if (!preview.ready() || !preview.Take(&frames, kWarmUpFrames)) {
        state.SkipWithError("no frame");
        return;
    }
    const camctl::serve::FramePtr frame = frames.Latest();
    camtools::JpegEncoder encoder;
    std::vector<uint8_t> jpeg;
    for (auto _ : state) {
        if (!encoder.Encode(frame->image, camtools::kDefaultJpegQuality, half, &jpeg).empty()) {
            state.SkipWithError("encoding failed");
            break;
        }
    }
    state.counters["jpeg_bytes"] = (double)jpeg.size();
}

void BM_StreamWithOneViewer(benchmark::State& state) {
    Preview preview;
    if (!preview.ready()) {
        state.SkipWithError("the capture pin did not run");
        return;
    }
    camctl::serve::FrameBroadcaster frames(camtools::kDefaultJpegQuality);
    std::atomic<bool> watching{true};
    std::thread viewer([&] {
        uint64_t sequence = 0;
        while (watching) {
            if (camctl::serve::PicturePtr picture = frames.Next(true, sequence, kViewerWaitMs))
                sequence = picture->sequence;
        }
    });
    double fps = 0;
    double limit = 0;
    bool taken = preview.Take(&frames, kWarmUpFrames);
    for (auto _ : state) {
        taken = taken && preview.Take(&frames, kFrames);
        const camctl::CaptureSummary after = preview.loop().Summary();
        for (const camctl::Figure& figure : after.Figures()) {
            if (figure.name == "link_limit_fps")
                limit = figure.number.value_or(0);
        }
        fps = after.FrameRate().value_or(0);
    }
    watching = false;
    viewer.join();
    const camctl::serve::EncoderFigures encoded = frames.Figures();
    frames.Close();
    if (!taken) {
        state.SkipWithError("no frame");
        return;
    }
    state.counters["fps"] = fps;
    state.counters["link_limit_fps"] = limit;
    state.counters["percent_of_limit"] = limit > 0 ? 100.0 * fps / limit : 0;
    state.counters["jpeg_pictures"] = (double)encoded.pictures;
    state.counters["jpeg_ms_per_picture"] =
        encoded.pictures != 0 ? (double)encoded.encode_ns * 1e-6 / (double)encoded.pictures : 0;
}

BENCHMARK(BM_PreviewJpeg)->ArgName("half")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamWithOneViewer)
    ->Repetitions(3)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
