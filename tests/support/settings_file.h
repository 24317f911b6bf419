// The device's persisted settings as the registry file holds them: written before a device reads
// them, read back after a stop saved them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "camdrv/camera_properties.h"
#include "platform/registry_host.h"
#include "tests/support/scratch_folder.h"

namespace camtest {

inline std::string SettingsKeyPath() {
    return platform::registry::DriverKeyPath(0) + "\\" + camdrv::kSettingsKeyName;
}

// A registry value's data as the file writes a 32-bit number: "dword:000001f4".
inline std::string Dword(uint32_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "dword:%08x", value);
    return text;
}

// The file holds the device's Settings key with these value lines ("\"Timeout\"=dword:000001f4").
inline void WriteSettings(const std::string& file, const std::vector<std::string>& lines) {
    std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n[" + SettingsKeyPath() + "]\r\n";
    for (const std::string& line : lines)
        text += line + "\r\n";
    WriteText(file, text);
}

// The values of the Settings key in the file, in file order: name and data as written.
inline std::vector<std::pair<std::string, std::string>> StoredSettings(const std::string& file) {
    std::vector<std::pair<std::string, std::string>> values;
    const std::string text = ReadText(file);
    const std::string header = "[" + SettingsKeyPath() + "]";
    size_t at = text.find(header);
    if (at == std::string::npos)
        return values;
    at = text.find('\n', at);
    while (at != std::string::npos && at + 1 < text.size() && text[at + 1] == '"') {
        const size_t end = text.find('\n', at + 1);
        std::string line = text.substr(at + 1, end - at - 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t equals = line.find("\"=");
        values.emplace_back(line.substr(1, equals - 1), line.substr(equals + 2));
        at = end;
    }
    return values;
}

}  // namespace camtest
