#include "tools/common/arguments.h"

#include <cerrno>
#include <cstdlib>

#include "tools/common/item_names.h"

namespace camtools {

namespace {

bool EndsWithIgnoringCase(std::string_view text, std::string_view ending) {
    if (text.size() < ending.size())
        return false;
    return camdrv::SameNameIgnoringCase(
        std::string(text.substr(text.size() - ending.size())).c_str(), std::string(ending).c_str());
}

CLI::Validator FromCheck(std::string (*check)(std::string_view), const std::string& name) {
    return CLI::Validator([check](std::string& text) { return check(text); }, "", name);
}

}  // namespace

bool ParseInteger(std::string_view text, int64_t min, int64_t max, int64_t* value) {
    const std::string copy(text);
    if (copy.empty() || std::isspace((unsigned char)copy[0]))
        return false;
    const bool negative = copy[0] == '-';
    const size_t digits = negative ? 1 : 0;
    const bool hex = copy.size() > digits + 2 && copy[digits] == '0' &&
                     (copy[digits + 1] == 'x' || copy[digits + 1] == 'X');
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(copy.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == copy.c_str() || *end != '\0' || parsed < min || parsed > max)
        return false;
    *value = parsed;
    return true;
}

std::string ParseAssignment(std::string_view text, Assignment* assignment) {
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return "'" + std::string(text) + "' is not NAME=VALUE";
    const std::string_view name = text.substr(0, equals);
    const std::string problem = CheckItemName(name, true, &assignment->item);
    if (!problem.empty())
        return problem;
    int64_t value = 0;
    if (!ParseInteger(text.substr(equals + 1), INT32_MIN, INT32_MAX, &value)) {
        return "the value of " + std::string(assignment->item->name) +
               " must be a 32-bit integer, not '" + std::string(text.substr(equals + 1)) + "'";
    }
    assignment->value = (LONG)value;
    return "";
}

std::string ParseAssignments(const std::vector<std::string>& texts,
                             std::vector<Assignment>* assignments) {
    for (const std::string& text : texts) {
        Assignment assignment;
        const std::string problem = ParseAssignment(text, &assignment);
        if (!problem.empty())
            return problem;
        assignments->push_back(assignment);
    }
    return "";
}

std::string ParseLinkSpeed(std::string_view text, uint64_t* bytes_per_second) {
    if (text == "unlimited") {
        *bytes_per_second = 0;
        return "";
    }
    int64_t value = 0;
    if (!ParseInteger(text, 1, INT64_MAX, &value)) {
        return "--link-speed wants bytes per second (a positive integer) or 'unlimited', not '" +
               std::string(text) + "'";
    }
    *bytes_per_second = (uint64_t)value;
    return "";
}

std::string ParseSize(std::string_view text, uint32_t* width, uint32_t* height) {
    const size_t x = text.find('x');
    int64_t w = 0;
    int64_t h = 0;
    // ParseInteger refuses leading blanks; a trailing one shows as an unparsed end.
    if (x == std::string_view::npos || text.substr(0, x).find(' ') != std::string_view::npos ||
        !ParseInteger(text.substr(0, x), 1, 65535, &w) ||
        !ParseInteger(text.substr(x + 1), 1, 65535, &h)) {
        return "--size wants WxH with W and H from 1 to 65535 and no spaces (1600x1200), not '" +
               std::string(text) + "'";
    }
    *width = (uint32_t)w;
    *height = (uint32_t)h;
    return "";
}

std::string CheckScene(std::string_view text) {
    if (text == "chart" || text == "flat")
        return "";
    int64_t level = 0;
    if (text.rfind("flat:", 0) == 0 && ParseInteger(text.substr(5), 0, 255, &level))
        return "";
    if (text.size() > 4 && EndsWithIgnoringCase(text, ".png"))
        return "";
    return "--scene wants " + std::string(kSceneChoices) + ", not '" + std::string(text) + "'";
}

CLI::Validator AssignmentCheck() {
    return CLI::Validator(
        [](std::string& text) {
            Assignment ignored;
            return ParseAssignment(text, &ignored);
        },
        "", "assignment");
}

CLI::Validator ReadableNameCheck() {
    return CLI::Validator([](std::string& text) { return CheckItemName(text, false); }, "",
                          "readable name");
}

CLI::Validator LinkSpeedCheck() {
    return CLI::Validator(
        [](std::string& text) {
            uint64_t ignored = 0;
            return ParseLinkSpeed(text, &ignored);
        },
        "", "link speed");
}

CLI::Validator SizeCheck() {
    return CLI::Validator(
        [](std::string& text) {
            uint32_t w = 0;
            uint32_t h = 0;
            return ParseSize(text, &w, &h);
        },
        "", "size");
}

CLI::Validator SceneCheck() {
    return FromCheck(CheckScene, "scene");
}

CLI::Validator NonEmpty(const std::string& what) {
    return CLI::Validator(
        [what](std::string& text) { return text.empty() ? what + " must not be empty" : ""; }, "",
        "non-empty");
}

CLI::Validator IntegerCheck(const std::string& what, int64_t min, int64_t max) {
    return CLI::Validator(
        [what, min, max](std::string& text) -> std::string {
            int64_t ignored = 0;
            if (ParseInteger(text, min, max, &ignored))
                return "";
            return what + " must be an integer from " + std::to_string(min) + " to " +
                   std::to_string(max) + " (0x for hexadecimal), not '" + text + "'";
        },
        "", what);
}

std::string SettingNamesText(size_t indent, size_t width) {
    std::string text(indent, ' ');
    size_t column = indent;
    for (const camdrv::CameraItemInfo* item : SettingItems()) {
        const size_t length = std::char_traits<char>::length(item->name);
        if (column > indent && column + 1 + length > width) {
            text += "\n" + std::string(indent, ' ');
            column = indent;
        }
        if (column > indent) {
            text += ' ';
            ++column;
        }
        text += item->name;
        column += length;
    }
    return text;
}

}  // namespace camtools
