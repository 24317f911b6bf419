// camctl info: the device, its advertised format and its current settings.
#include <cstdio>

#include "driver/camera_context_ops.h"
#include "platform/ks_host.h"
#include "tools/camctl/session.h"

namespace camctl {
namespace {

void PrintFormat(const KS_DATARANGE_VIDEO& range) {
    const KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
    const KS_VIDEOINFOHEADER& info = range.VideoInfoHeader;
    std::printf("format:\n");
    std::printf("  size              %d x %d, %u-bit RGB, %s\n", (int)info.bmiHeader.biWidth,
                (int)info.bmiHeader.biHeight, (unsigned)info.bmiHeader.biBitCount,
                info.bmiHeader.biHeight > 0 ? "bottom-up" : "top-down");
    std::printf("  SampleSize        %u\n", (unsigned)range.DataRange.SampleSize);
    std::printf("  biSizeImage       %u\n", (unsigned)info.bmiHeader.biSizeImage);
    std::printf("  frame interval    min %lld, max %lld, average %lld (100 ns)\n",
                (long long)caps.MinFrameInterval, (long long)caps.MaxFrameInterval,
                (long long)info.AvgTimePerFrame);
    std::printf("  bits per second   min %d, max %d\n", (int)caps.MinBitsPerSecond,
                (int)caps.MaxBitsPerSecond);
    std::printf("  dwBitRate         %u\n", (unsigned)info.dwBitRate);
}

void PrintSettings(const CameraContext& camera) {
    struct Setting {
        const char* name;
        LONG value;
    };
    const Setting settings[] = {
        {"ExTrigger", camera.external_trigger},
        {"Timeout", camera.timeout_ms},
        {"Exposure", camera.exposure},
        {"GlobalGain", camera.global_gain},
        {"FlipH", camera.flip_h},
        {"FlipV", camera.flip_v},
        {"ColorEnable", camera.color_enable},
        {"WhiteBalance", camera.white_balance_auto},
        {"RedGain", camera.red_gain},
        {"GreenGain", camera.green_gain},
        {"BlueGain", camera.blue_gain},
        {"ColorCorrection", camera.color_correction},
        {"Brightness", camera.brightness},
        {"Contrast", camera.contrast},
        {"Saturation", camera.saturation},
        {"Hue", camera.hue},
        {"Clock", camera.clock_mode},
        {"AGC", camera.agc},
        {"AEC", camera.aec},
        {"SubSample", camera.subsample},
        {"RoiX", camera.roi_x},
        {"RoiY", camera.roi_y},
        {"RoiW", camera.roi_width},
        {"RoiH", camera.roi_height},
        {"ImageWidth", camera.image_width},
        {"ImageHeight", camera.image_height},
        {"OutputWidth", camera.output_width},
        {"OutputHeight", camera.output_height},
        {"PinOpen", camera.pin_open},
    };
    std::printf("settings:\n");
    for (const Setting& setting : settings) {
        std::printf("  %-16s  %d\n", setting.name, (int)setting.value);
    }
}

}  // namespace

int RunInfo(const CommonOptions& options, const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "camctl info: unexpected argument '%s'\n", args[0].c_str());
        return 2;
    }
    Session session(options);
    if (session.device() == nullptr) {
        std::fprintf(stderr, "camctl info: %s\n", session.error().c_str());
        return 1;
    }
    std::printf("device: started with %s\n", StatusText(session.start_status()).c_str());
    std::vector<platform::ks::FilterFactoryInfo> factories =
        platform::ks::FilterFactories(session.device());
    if (factories.empty()) {
        std::fprintf(stderr, "camctl info: the device registered no filter\n");
        return 1;
    }
    const KSFILTER_DESCRIPTOR* filter = factories[0].descriptor;
    std::printf("filter: reference \"%ls\", %u pin(s)\n", factories[0].reference_string.c_str(),
                (unsigned)filter->PinDescriptorsCount);
    const KSPIN_DESCRIPTOR& pin = filter->PinDescriptors[0].PinDescriptor;
    for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
        PrintFormat(*reinterpret_cast<const KS_DATARANGE_VIDEO*>(pin.DataRanges[i]));
    }
    PrintSettings(*CameraOfDevice(session.device()));
    return 0;
}

}  // namespace camctl
