// camctl's own inputs: a PNG file as a scene the simulated camera looks at, and a raw frame file
// with its size, Bayer phase and colour settings through camctl convert. Either is refused with a
// message or used whole; a converted frame is written whole.
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/verified_run.h"
#include "imaging/color_table.h"
#include "sim/scene.h"
#include "tests/support/scratch_folder.h"
#include "tools/camctl/command.h"

namespace {

using camfuzz::FuzzInput;
using camfuzz::Require;

constexpr uint32_t kMaxSide = 48;
const char* const kOutputs[] = {"out.bgra", "out.bmp", "out.png"};

void Scene(FuzzInput& in, const camtest::ScratchFolder& folder) {
    const sim::PngFit fit = in.Byte() & 1 ? sim::PngFit::kTile : sim::PngFit::kScale;
    const uint32_t width = in.Choice(kMaxSide) + 1;
    const uint32_t height = in.Choice(kMaxSide) + 1;
    const std::string path = folder.File("scene.png");
    const std::vector<uint8_t> png = in.Rest();
    camtest::WriteText(path, std::string(png.begin(), png.end()));
    std::string error;
    std::shared_ptr<const sim::Scene> scene = sim::LoadPngScene(path, fit, &error);
    if (scene == nullptr) {
        Require(!error.empty(), "a scene was refused without a reason");
        return;
    }
    std::vector<sim::Rgb> row(width);
    for (uint32_t y = 0; y < height; ++y) {
        scene->Row(y, 0, width, width, height, y, row.data());
        for (const sim::Rgb& pixel : row) {
            Require(std::isfinite(pixel.r) && std::isfinite(pixel.g) && std::isfinite(pixel.b),
                    "a scene pixel is not a number");
        }
    }
}

int Convert(const std::vector<std::string>& words) {
    CLI::App app;
    camctl::CommonOptions common;
    camctl::AddCommonOptions(&app, &common, camctl::CommonSet::kFrames, true);
    camctl::Command convert = camctl::AddConvert(app, common);
    std::vector<const char*> argv = {"camctl"};
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    try {
        app.parse((int)argv.size(), argv.data());
    } catch (const CLI::ParseError&) {
        return camctl::kUsageError;
    }
    return convert.run();
}

void RawFrame(FuzzInput& in, const camtest::ScratchFolder& folder) {
    const uint32_t width = in.Choice(kMaxSide) + 1;
    const uint32_t height = in.Choice(kMaxSide) + 1;
    std::vector<std::string> words = {"convert", "--size",
                                      std::to_string(width) + "x" + std::to_string(height),
                                      "--phase", std::to_string((int)(int8_t)in.Byte())};
    const uint32_t sets = in.Choice(4);
    for (uint32_t i = 0; i < sets; ++i) {
        const ColorSetting& setting = kColorSettings[in.Choice(std::size(kColorSettings))];
        words.push_back("--set");
        words.push_back(std::string(camdrv::ItemName(setting.item)) + "=" +
                        std::to_string((int32_t)in.U32()));
    }
    const std::string output = folder.File(kOutputs[in.Choice(std::size(kOutputs))]);
    const std::string input = folder.File("frame.raw");
    // Mostly a frame of the size given, so that the conversion is reached.
    const std::vector<uint8_t> raw = in.Byte() & 1 ? in.Rest() : in.Bytes((size_t)width * height);
    camtest::WriteText(input, std::string(raw.begin(), raw.end()));
    words.push_back(input);
    words.push_back(output);
    std::filesystem::remove(output);
    const int status = Convert(words);
    Require(status == 0 || status == camctl::kFailure || status == camctl::kUsageError,
            "convert ended with status " + std::to_string(status));
    Require((status == 0) == std::filesystem::exists(output),
            "convert's output exists exactly when it succeeded");
    if (status == 0 && output.ends_with(".bgra")) {
        Require(std::filesystem::file_size(output) == (uint64_t)width * height * 4,
                "a converted frame is not whole");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    camfuzz::VerifiedRun run;
    FuzzInput in(data, size);
    camtest::ScratchFolder folder("camctl-files");
    if (in.Byte() & 1)
        Scene(in, folder);
    else
        RawFrame(in, folder);
    return 0;
}
