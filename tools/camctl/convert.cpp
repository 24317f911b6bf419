// camctl convert: one raw 8-bit frame file through the driver's own conversion.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "camdrv/camera_properties.h"
#include "control/settings_table.h"
#include "imaging/color_settings.h"
#include "tools/camctl/command.h"
#include "tools/camctl/image_files.h"

namespace camctl {
namespace {

constexpr uint64_t kMaxPixels = 16u << 20;

struct ColourSetting {
    camdrv::CameraItem item;
    VOID (*set)(CameraContext*, LONG);
};

const ColourSetting kColourSettings[] = {
    {camdrv::CameraItem::ColorEnable, SetColorEnable},
    {camdrv::CameraItem::WhiteBalance, SetWhiteBalanceAuto},
    {camdrv::CameraItem::RedGain, SetRedGain},
    {camdrv::CameraItem::GreenGain, SetGreenGain},
    {camdrv::CameraItem::BlueGain, SetBlueGain},
    {camdrv::CameraItem::ColorCorrection, SetColorCorrection},
    {camdrv::CameraItem::Brightness, SetBrightness},
    {camdrv::CameraItem::Contrast, SetContrast},
    {camdrv::CameraItem::Saturation, SetSaturation},
    {camdrv::CameraItem::Hue, SetHue},
};

bool ParseInteger(const std::string& text, long min, long max, long* value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max)
        return false;
    *value = parsed;
    return true;
}

bool ParseSize(const std::string& text, uint32_t* width, uint32_t* height) {
    const size_t x = text.find('x');
    long w = 0;
    long h = 0;
    if (x == std::string::npos || !ParseInteger(text.substr(0, x), 1, 65535, &w) ||
        !ParseInteger(text.substr(x + 1), 1, 65535, &h)) {
        return false;
    }
    *width = (uint32_t)w;
    *height = (uint32_t)h;
    return true;
}

struct Request {
    uint32_t width = 0;
    uint32_t height = 0;
    long phase = 0;
    std::vector<std::pair<const ColourSetting*, LONG>> settings;
    std::string input;
    std::string output;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "camctl convert: %s\n", message.c_str());
    return 1;
}

// Returns an empty string when the arguments make a request.
std::string ParseRequest(const std::vector<std::string>& args, Request* request) {
    std::vector<std::string> files;
    bool have_size = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--size" || arg == "--phase" || arg == "--set") {
            if (i + 1 >= args.size())
                return arg + " needs a value";
            const std::string& value = args[++i];
            if (arg == "--size") {
                if (!ParseSize(value, &request->width, &request->height)) {
                    return "--size wants WxH with W and H from 1 to 65535, not '" + value + "'";
                }
                have_size = true;
            } else if (arg == "--phase") {
                if (!ParseInteger(value, INT32_MIN, INT32_MAX, &request->phase)) {
                    return "--phase wants an integer, not '" + value + "'";
                }
            } else {
                const size_t equals = value.find('=');
                const std::string name = value.substr(0, equals);
                const ColourSetting* found = nullptr;
                for (const ColourSetting& setting : kColourSettings) {
                    if (strcasecmp(camdrv::ItemName(setting.item), name.c_str()) == 0)
                        found = &setting;
                }
                if (found == nullptr)
                    return "'" + name + "' is not a colour setting";
                long number = 0;
                if (equals == std::string::npos ||
                    !ParseInteger(value.substr(equals + 1), INT32_MIN, INT32_MAX, &number)) {
                    return "--set wants NAME=VALUE with an integer value, not '" + value + "'";
                }
                request->settings.emplace_back(found, (LONG)number);
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option '" + arg + "'";
        } else {
            files.push_back(arg);
        }
    }
    if (!have_size)
        return "--size WxH is required";
    if (files.size() != 2)
        return "wants one input and one output file";
    if ((uint64_t)request->width * request->height > kMaxPixels) {
        return "a frame of more than 16 Mpixels is not supported";
    }
    request->input = files[0];
    request->output = files[1];
    if (!IsImageFileName(request->output)) {
        return "unknown output format for " + request->output + " (use .bgra, .bmp or .png)";
    }
    return "";
}

struct ProcessorDeleter {
    void operator()(FrameProcessor* processor) const { FreeFrameProcessor(processor); }
};

}  // namespace

int RunConvert(const CommonOptions& options, const std::vector<std::string>& args) {
    if (!options.scene.empty() || !options.usb_trace.empty())
        return Fail("convert does not use the camera, so --scene and --usb-trace do not apply");
    Request request;
    const std::string problem = ParseRequest(args, &request);
    if (!problem.empty()) {
        return Fail(problem +
                    "\nusage: camctl convert --size WxH [--phase N] "
                    "[--set NAME=VALUE...] IN.raw OUT.bgra|OUT.bmp|OUT.png");
    }
    std::ifstream in(request.input, std::ios::binary);
    if (!in)
        return Fail("cannot read " + request.input);
    // One byte more than a frame tells a longer file (or an endless one) from a frame.
    const uint64_t expected = (uint64_t)request.width * request.height;
    std::vector<UCHAR> raw(expected + 1);
    in.read(reinterpret_cast<char*>(raw.data()), (std::streamsize)raw.size());
    if (in.bad())
        return Fail("cannot read " + request.input);
    const uint64_t got = (uint64_t)in.gcount();
    if (got != expected) {
        return Fail(
            request.input + " holds " +
            (got > expected ? "more than " + std::to_string(expected) : std::to_string(got)) +
            " bytes; a " + std::to_string(request.width) + " x " + std::to_string(request.height) +
            " frame of 8-bit samples is " + std::to_string(expected));
    }
    raw.resize(expected);

    // The device-add values, then the processor a claiming pin would create.
    auto camera = std::make_unique<CameraContext>();
    SetSettingsToAddDefaults(camera.get());
    camera->bayer_phase = (LONG)request.phase;
    std::unique_ptr<FrameProcessor, ProcessorDeleter> processor(CreateFrameProcessor());
    if (!processor)
        return Fail("out of memory");
    camera->processor = processor.get();
    PushColorSettings(camera.get(), processor.get());
    for (const auto& [setting, value] : request.settings)
        setting->set(camera.get(), value);

    SetConversionGeometry(processor.get(), request.width, request.height);
    AllocateWorkBuffer(processor.get());
    if (processor->conversion.work_buffer == nullptr)
        return Fail("out of memory");
    std::vector<uint32_t> pixels(expected);
    processor->conversion.output_buffer = pixels.data();
    ConvertFrame(processor.get(), raw.data(), 0, request.width);
    processor->conversion.output_buffer = nullptr;

    if (GetWhiteBalanceAuto(camera.get()) != 0) {
        std::printf("measured gains: RedGain=%d GreenGain=%d BlueGain=%d\n",
                    (int)GetRedGain(camera.get()), (int)GetGreenGain(camera.get()),
                    (int)GetBlueGain(camera.get()));
    }
    camera->processor = nullptr;
    const std::string error = WriteImage(request.output, pixels, request.width, request.height);
    if (!error.empty())
        return Fail(error);
    return 0;
}

}  // namespace camctl
