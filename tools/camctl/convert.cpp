// camctl convert: one raw 8-bit frame file through the driver's own conversion, with the colour
// settings at their values after plug-in unless --set changes them.
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "camdrv/camera_properties.h"
#include "imaging/color_table.h"
#include "imaging/frame_processor.h"
#include "tools/camctl/command.h"
#include "tools/common/arguments.h"
#include "tools/common/image_files.h"

namespace camctl {

namespace {

constexpr uint64_t kMaxPixels = 16u << 20;

const ColorSetting* FindColourSetting(const std::string& name) {
    for (const ColorSetting& setting : kColorSettings) {
        if (camdrv::SameNameIgnoringCase(camdrv::ItemName(setting.item), name.c_str()))
            return &setting;
    }
    return nullptr;
}

std::string ColourSettingNames() {
    std::string names;
    for (const ColorSetting& setting : kColorSettings)
        names += (names.empty() ? "" : ", ") + std::string(camdrv::ItemName(setting.item));
    return names;
}

struct Request {
    std::string size;
    int64_t phase = 0;
    std::vector<std::string> sets;
    std::string input;
    std::string output;
};

int ConvertFail(const std::string& message) {
    return Fail("convert", message);
}

bool SameFile(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code code;
    if (fs::exists(a, code) && fs::exists(b, code))
        return fs::equivalent(a, b, code);
    return fs::weakly_canonical(a, code) == fs::weakly_canonical(b, code);
}

struct ProcessorDeleter {
    void operator()(FrameProcessor* processor) const { FreeFrameProcessor(processor); }
};

int RunConvert(const CommonOptions& common, const Request& request) {
    for (const CLI::Option* option :
         {common.scene_option, common.usb_trace_option, common.registry_option,
          common.link_speed_option, common.driver_option}) {
        if (option->count() != 0) {
            return UsageError("convert", "convert does not use the camera, so " +
                                             option->get_name() + " does not apply");
        }
    }
    uint32_t width = 0;
    uint32_t height = 0;
    camtools::ParseSize(request.size, &width, &height);
    if ((uint64_t)width * height > kMaxPixels)
        return UsageError("convert", "a frame of more than 16 Mpixels is not supported");
    if (SameFile(request.input, request.output))
        return UsageError("convert", "the input and the output are the same file");
    camtools::ImageFormat format;
    if (!camtools::FormatOfFileName(request.output, &format)) {
        return UsageError("convert", "unknown output format for " + request.output +
                                         " (use .bgra, .bmp or .png)");
    }
    std::vector<std::pair<const ColorSetting*, LONG>> settings;
    for (const std::string& text : request.sets) {
        const size_t equals = text.find('=');
        settings.emplace_back(FindColourSetting(text.substr(0, equals)), 0);
        int64_t value = 0;
        camtools::ParseInteger(text.substr(equals + 1), INT32_MIN, INT32_MAX, &value);
        settings.back().second = (LONG)value;
    }

    std::ifstream in(request.input, std::ios::binary);
    if (!in)
        return ConvertFail("cannot read " + request.input);
    // One byte more than a frame tells a longer file (or an endless one) from a frame.
    const uint64_t expected = (uint64_t)width * height;
    std::vector<UCHAR> raw(expected + 1);
    in.read(reinterpret_cast<char*>(raw.data()), (std::streamsize)raw.size());
    if (in.bad())
        return ConvertFail("cannot read " + request.input);
    const uint64_t got = (uint64_t)in.gcount();
    if (got != expected) {
        return ConvertFail(
            request.input + " holds " +
            (got > expected ? "more than " + std::to_string(expected) : std::to_string(got)) +
            " bytes; a " + std::to_string(width) + " x " + std::to_string(height) +
            " frame of 8-bit samples is " + std::to_string(expected));
    }
    raw.resize(expected);

    // A new processor starts from the settings' values after plug-in.
    std::unique_ptr<FrameProcessor, ProcessorDeleter> processor(CreateFrameProcessor());
    if (!processor)
        return ConvertFail("out of memory");
    InterlockedExchange(&processor->conversion.bayer_phase, (LONG)request.phase);
    for (const auto& [setting, value] : settings)
        SetProcessorColor(processor.get(), setting->item, value);
    SetConversionGeometry(processor.get(), width, height);
    AllocateWorkBuffer(processor.get());
    if (processor->conversion.work_buffer == nullptr)
        return ConvertFail("out of memory");
    std::vector<uint32_t> pixels(expected);
    processor->conversion.output_buffer = reinterpret_cast<ULONG*>(pixels.data());
    ConvertFrame(processor.get(), raw.data(), 0, width);
    processor->conversion.output_buffer = nullptr;

    if (processor->white_balance_auto != 0) {
        std::printf("measured gains: RedGain=%d GreenGain=%d BlueGain=%d\n",
                    (int)processor->red_gain, (int)processor->green_gain,
                    (int)processor->blue_gain);
    }
    camtools::ImageView image;
    image.bgra = reinterpret_cast<const uint8_t*>(pixels.data());
    image.width = width;
    image.height = height;
    image.stride = (size_t)width * 4;
    const std::string error = camtools::WriteImage(request.output, format, image);
    if (!error.empty())
        return ConvertFail(error);
    return 0;
}

}  // namespace

Command AddConvert(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand(
        "convert",
        "convert one raw 8-bit frame file with the driver's own conversion; the "
        "output's ending picks the format: .bmp (bottom-up, as delivered), .png, or "
        ".bgra (blue-green-red-255, top row first)");
    auto request = std::make_shared<Request>();
    app->add_option("--size", request->size, "the frame's width and height, WxH")
        ->type_name("WxH")
        ->required()
        ->check(camtools::SizeCheck());
    app->add_option("--phase", request->phase,
                    "the Bayer phase of pixel (0, 0): 0 GRBG (the "
                    "camera's, the default), 1 BGGR, 2 RGGB, 3 GBRG")
        ->type_name("0..3")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                int64_t phase = 0;
                if (camtools::ParseInteger(text, 0, 3, &phase))
                    return "";
                return "--phase wants 0 (GRBG), 1 (BGGR), 2 (RGGB) or 3 (GBRG), not '" + text + "'";
            },
            "", "phase"));
    app->add_option("--set", request->sets,
                    "NAME=VALUE: a colour setting (repeatable): " + ColourSettingNames())
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false)
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                const size_t equals = text.find('=');
                const std::string name = text.substr(0, equals);
                if (FindColourSetting(name) == nullptr) {
                    return "'" + name + "' is not a colour setting; convert takes " +
                           ColourSettingNames();
                }
                int64_t value = 0;
                if (equals == std::string::npos ||
                    !camtools::ParseInteger(text.substr(equals + 1), INT32_MIN, INT32_MAX,
                                            &value)) {
                    return "--set wants NAME=VALUE with an integer value, not '" + text + "'";
                }
                return "";
            },
            "", "colour setting"));
    app->add_option("IN", request->input, "the raw frame, W x H bytes")->type_name("")->required();
    app->add_option("OUT", request->output, "the picture: .bgra, .bmp or .png")
        ->type_name("")
        ->required();
    return {app, [&common, request] { return RunConvert(common, *request); }};
}

}  // namespace camctl
