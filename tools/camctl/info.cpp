// camctl info: the device, its advertised format and its current settings.
#include <cstdio>

#include "camdrv/camera_properties.h"
#include "control/settings_table.h"
#include "driver/camera_context_ops.h"
#include "platform/ks_host.h"
#include "tools/camctl/command.h"
#include "tools/common/status_text.h"

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

// The value behind a readable item that reports the camera's state, if the context holds one.
bool ItemValue(CameraContext* camera, camdrv::CameraItem item, LONG* value) {
    using camdrv::CameraItem;
    const ULONG setting = SettingIndex(item);
    if (setting < kSettingCount) {
        *value = *SettingField(camera, kSettings[setting]);
        return true;
    }
    switch (item) {
        case CameraItem::SubSample:
            *value = camera->subsample;
            return true;
        case CameraItem::RoiX:
            *value = camera->roi_x;
            return true;
        case CameraItem::RoiY:
            *value = camera->roi_y;
            return true;
        case CameraItem::RoiW:
            *value = camera->roi_width;
            return true;
        case CameraItem::RoiH:
            *value = camera->roi_height;
            return true;
        case CameraItem::PinOpen:
            *value = camera->pin_open;
            return true;
        default:
            return false;
    }
}

void PrintSettings(CameraContext* camera) {
    std::printf("settings:\n");
    for (const camdrv::CameraItemInfo& item : camdrv::kCameraItems) {
        LONG value = 0;
        if (ItemValue(camera, item.id, &value))
            std::printf("  %-16s  %d\n", item.name, (int)value);
    }
    // The capture geometry has no items of its own.
    const struct {
        const char* name;
        LONG value;
    } geometry[] = {
        {"ImageWidth", camera->image_width},
        {"ImageHeight", camera->image_height},
        {"OutputWidth", camera->output_width},
        {"OutputHeight", camera->output_height},
    };
    for (const auto& line : geometry)
        std::printf("  %-16s  %d\n", line.name, (int)line.value);
}

int RunInfo(const CommonOptions& options) {
    camtools::Session session(options.Session());
    if (session.device() == nullptr)
        return Fail("info", session.error());
    std::printf("device: started with %s\n", camtools::StatusText(session.start_status()).c_str());
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
    PrintSettings(CameraOfDevice(session.device()));
    const std::string problem = session.Close();
    if (!problem.empty())
        return Fail("info", problem);
    return 0;
}

}  // namespace

Command AddInfo(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand("info", "the device, its format and its settings");
    return {app, [&common] { return RunInfo(common); }};
}

}  // namespace camctl
