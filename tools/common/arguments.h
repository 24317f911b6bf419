// Argument parsing shared by the tools: the command line itself is CLI11's; these are the value
// checks it runs, each naming the valid choices when it refuses.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "camdrv/camera_properties.h"

namespace camtools {

// A whole decimal integer, or hexadecimal after 0x, within [min, max].
bool ParseInteger(std::string_view text, int64_t min, int64_t max, int64_t* value);

// NAME=VALUE for an item a set takes as one value (names in any case). Returns what is wrong, or
// an empty string.
struct Assignment {
    const camdrv::CameraItemInfo* item = nullptr;
    LONG value = 0;
};
std::string ParseAssignment(std::string_view text, Assignment* assignment);
// Each of `texts` in turn; what is wrong with the first that fails, or an empty string.
std::string ParseAssignments(const std::vector<std::string>& texts,
                             std::vector<Assignment>* assignments);

// "unlimited" or bytes per second; 0 stands for unlimited.
std::string ParseLinkSpeed(std::string_view text, uint64_t* bytes_per_second);
// WxH, each from 1 to 65535, nothing else around or between.
std::string ParseSize(std::string_view text, uint32_t* width, uint32_t* height);
// chart, flat, flat:LEVEL (0..255) or a file ending in .png.
std::string CheckScene(std::string_view text);

// The same checks as CLI11 validators.
CLI::Validator AssignmentCheck();
CLI::Validator ReadableNameCheck();
CLI::Validator LinkSpeedCheck();
CLI::Validator SizeCheck();
CLI::Validator SceneCheck();
CLI::Validator NonEmpty(const std::string& what);
// An integer from min to max (0x for hexadecimal); a refusal names `what` and the range.
CLI::Validator IntegerCheck(const std::string& what, int64_t min, int64_t max);

// For usage texts.
inline constexpr const char* kSceneChoices =
    "chart (the default colour chart), flat, flat:LEVEL (0..255) or a PNG file";
// The names of the camera's settings, space-separated, wrapped for a usage text.
std::string SettingNamesText(size_t indent, size_t width = 100);

}  // namespace camtools
