// camctl info: the device, its advertised format and its current settings.
#include <cstdio>
#include <memory>

#include "camdrv/camera_properties.h"
#include "platform/ks_host.h"
#include "platform/utf16.h"
#include "tools/camctl/command.h"
#include "tools/common/item_names.h"

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
    std::printf("  frame interval    min %lld, max %lld, average %lld (100 ns units)\n",
                (long long)caps.MinFrameInterval, (long long)caps.MaxFrameInterval,
                (long long)info.AvgTimePerFrame);
    if (info.AvgTimePerFrame > 0)
        std::printf("  frame rate        %.2f frames/s\n", 1e7 / (double)info.AvgTimePerFrame);
    std::printf("  bit rate          min %u bit/s, max %u bit/s\n", (unsigned)caps.MinBitsPerSecond,
                (unsigned)caps.MaxBitsPerSecond);
    // The driver fills this field, meant for bits per second, with bytes per second.
    std::printf("  dwBitRate         %u byte/s\n", (unsigned)info.dwBitRate);
}

// Every item that reports the camera's state, as property gets read it.
std::string PrintSettings(camtools::CameraFilter& filter) {
    std::printf("settings:\n");
    for (const camdrv::CameraItemInfo& item : camdrv::kCameraItems) {
        if (!camtools::ReportsState(item))
            continue;
        LONG value = 0;
        const NTSTATUS status = filter.Get(item.id, &value);
        if (!NT_SUCCESS(status))
            return camtools::PropertyFailure(item.id, false, status);
        std::printf("  %-16s  %d\n", item.name, (int)value);
    }
    return "";
}

std::string PrintInfo(camtools::CameraFilter& filter,
                      const std::vector<camtools::Assignment>& assignments) {
    std::string problem = filter.SetAll(assignments);
    if (!problem.empty())
        return problem;
    if (camtools::client::PinDescriptorCount(filter.filter()) == 0)
        return "the filter has no pin";
    // The filter is open, so the device registered its factory.
    const std::vector<platform::ks::FilterFactoryInfo> factories =
        platform::ks::FilterFactories(filter.device());
    std::printf("device: started; filter reference \"%s\", %u pin(s)\n",
                platform::Utf16ToUtf8(factories[0].reference_string).c_str(),
                (unsigned)camtools::client::PinDescriptorCount(filter.filter()));
    const KSPIN_DESCRIPTOR& pin =
        camtools::client::PinDescriptor(filter.filter(), 0)->PinDescriptor;
    for (ULONG i = 0; i < pin.DataRangesCount; ++i)
        PrintFormat(*reinterpret_cast<const KS_DATARANGE_VIDEO*>(pin.DataRanges[i]));
    return PrintSettings(filter);
}

int RunInfo(const CommonOptions& options, const std::vector<std::string>& sets) {
    std::vector<camtools::Assignment> assignments;
    camtools::ParseAssignments(sets, &assignments);
    return WithFilter("info", options, [&assignments](camtools::CameraFilter& filter) {
        return PrintInfo(filter, assignments);
    });
}

}  // namespace

Command AddInfo(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand("info", "the device, its format and its settings");
    auto sets = std::make_shared<std::vector<std::string>>();
    AddSetOption(app, sets.get(), "a setting made before they are read");
    return {app, [&common, sets] { return RunInfo(common, *sets); }};
}

}  // namespace camctl
