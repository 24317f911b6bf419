// What a user would otherwise pick, on the same frames and one thread: built only where the
// libraries are installed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#if defined(CAM_HAVE_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif
#if defined(CAM_HAVE_DC1394)
#include <dc1394/conversions.h>
#endif

namespace {

std::vector<uint8_t> RandomFrame(int width, int height) {
    std::mt19937 random(42);
    std::vector<uint8_t> raw((size_t)width * height);
    for (uint8_t& sample : raw)
        sample = (uint8_t)random();
    return raw;
}

#if defined(CAM_HAVE_OPENCV)
// Bilinear demosaic, a 3 x 4 colour transform, then the fourth byte. The first row is G R, which
// OpenCV names after its second row.
void OpenCvPipeline(benchmark::State& state, int width, int height) {
    cv::setNumThreads(1);
    std::vector<uint8_t> raw = RandomFrame(width, height);
    const cv::Mat bayer(height, width, CV_8UC1, raw.data());
    const float coefficients[12] = {1.36f,  -0.25f, -0.10f, 0,      -0.22f, 1.40f,
                                    -0.32f, 0,      -0.14f, -0.15f, 1.42f,  0};
    const cv::Mat matrix(3, 4, CV_32F, (void*)coefficients);
    cv::Mat bgr;
    cv::Mat corrected;
    cv::Mat bgra;
    for (auto _ : state) {
        cv::cvtColor(bayer, bgr, cv::COLOR_BayerGB2BGR);
        cv::transform(bgr, corrected, matrix);
        cv::cvtColor(corrected, bgra, cv::COLOR_BGR2BGRA);
        benchmark::DoNotOptimize(bgra.data);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (int64_t)width * height);
}
BENCHMARK_CAPTURE(OpenCvPipeline, 1600x1200, 1600, 1200)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OpenCvPipeline, 640x480, 640, 480)->Unit(benchmark::kMillisecond);
#endif

#if defined(CAM_HAVE_DC1394)
void Dc1394Hqlinear(benchmark::State& state, int width, int height) {
    std::vector<uint8_t> raw = RandomFrame(width, height);
    std::vector<uint8_t> rgb((size_t)width * height * 3);
    for (auto _ : state) {
        dc1394_bayer_decoding_8bit(raw.data(), rgb.data(), width, height, DC1394_COLOR_FILTER_GRBG,
                                   DC1394_BAYER_METHOD_HQLINEAR);
        benchmark::DoNotOptimize(rgb.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (int64_t)width * height);
}
BENCHMARK_CAPTURE(Dc1394Hqlinear, 1600x1200, 1600, 1200)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Dc1394Hqlinear, 640x480, 640, 480)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
