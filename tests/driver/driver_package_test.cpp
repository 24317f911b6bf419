// The driver package (driver/camdrv.inf) against the driver itself: the class whose driver key
// holds the settings, the interface categories and reference string the filter registers, the
// binary the kernel image is built as, the hardware id the camera reports; and every section the
// file names is there.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ks_host.h"
#include "platform/registry_host.h"
#include "platform/utf16.h"
#include "sim/protocol.h"
#include "tests/support/rig_test.h"
#include "tests/support/scratch_folder.h"

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = (char)std::tolower((unsigned char)c);
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    const size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// An INF file as the installer reads it: sections by name (names and keys compare without case),
// each a list of lines split at '=' and then at commas, comments gone, %strings% replaced and
// quotes removed.
class Inf {
  public:
    struct Line {
        std::string key;  // lower case; empty for a line without '='
        std::vector<std::string> values;
    };

    explicit Inf(const std::string& text) {
        std::istringstream in(text);
        std::string raw;
        std::vector<Line>* section = nullptr;
        while (std::getline(in, raw)) {
            const std::string line = Trim(StripComment(raw));
            if (line.empty())
                continue;
            if (line.front() == '[') {
                section = &sections_[Lower(line.substr(1, line.find(']') - 1))];
                continue;
            }
            if (section == nullptr)
                continue;
            Line parsed;
            const size_t equals = line.find('=');
            std::string values = line;
            if (equals != std::string::npos) {
                parsed.key = Lower(Trim(line.substr(0, equals)));
                values = line.substr(equals + 1);
            }
            std::istringstream fields(values);
            std::string field;
            while (std::getline(fields, field, ','))
                parsed.values.push_back(Trim(field));
            section->push_back(parsed);
        }
        for (const Line& line : Section("Strings"))
            strings_[line.key] = Unquote(line.values.empty() ? "" : line.values[0]);
        for (auto& [name, lines] : sections_) {
            for (Line& line : lines) {
                for (std::string& value : line.values)
                    value = Unquote(Substitute(value));
            }
        }
    }

    bool Has(const std::string& name) const { return sections_.count(Lower(name)) != 0; }
    const std::vector<Line>& Section(const std::string& name) const {
        static const std::vector<Line> kNone;
        const auto found = sections_.find(Lower(name));
        return found == sections_.end() ? kNone : found->second;
    }
    // The values of every line of `section` with this key.
    std::vector<std::vector<std::string>> All(const std::string& section,
                                              const std::string& key) const {
        std::vector<std::vector<std::string>> found;
        for (const Line& line : Section(section)) {
            if (line.key == Lower(key))
                found.push_back(line.values);
        }
        return found;
    }
    std::string Value(const std::string& section, const std::string& key) const {
        const auto found = All(section, key);
        return found.empty() || found[0].empty() ? "" : found[0][0];
    }
    const std::map<std::string, std::vector<Line>>& sections() const { return sections_; }

  private:
    static std::string StripComment(const std::string& line) {
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"')
                quoted = !quoted;
            else if (line[i] == ';' && !quoted)
                return line.substr(0, i);
        }
        return line;
    }
    static std::string Unquote(const std::string& text) {
        return text.size() >= 2 && text.front() == '"' && text.back() == '"'
                   ? text.substr(1, text.size() - 2)
                   : text;
    }
    std::string Substitute(const std::string& text) const {
        std::string out;
        for (size_t at = 0; at < text.size();) {
            const size_t open = text.find('%', at);
            const size_t close = open == std::string::npos ? open : text.find('%', open + 1);
            if (close == std::string::npos) {
                out += text.substr(at);
                break;
            }
            const auto found = strings_.find(Lower(text.substr(open + 1, close - open - 1)));
            out += text.substr(at, open - at);
            out += found != strings_.end() ? found->second : text.substr(open, close - open + 1);
            at = close + 1;
        }
        return out;
    }

    std::map<std::string, std::vector<Line>> sections_;
    std::map<std::string, std::string> strings_;
};

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

class DriverPackageTest : public camtest::RigTest {
  protected:
    DriverPackageTest()
        : RigTest({.level = camtest::RigLevel::kStarted}),
          inf_(camtest::ReadText(CAM_SOURCE_DIR "/driver/camdrv.inf")) {}
    // The install section with the platform decoration the models section asks for.
    std::string Install() const { return inf_.Section(Models())[0].values[0] + ".NTamd64"; }
    std::string Models() const {
        const std::vector<std::string>& maker = inf_.Section("Manufacturer")[0].values;
        return maker[0] + "." + maker[1];
    }
    Inf inf_;
};

TEST_F(DriverPackageTest, NamesTheDriversOwnClassInterfacesBinaryAndHardwareId) {
    ASSERT_FALSE(inf_.sections().empty());
    // The settings live under the driver key of the class the package installs into.
    const std::string driver_key = Lower(platform::registry::DriverKeyPath(0));
    EXPECT_THAT(driver_key, testing::HasSubstr(Lower(inf_.Value("Version", "ClassGuid"))));
    EXPECT_EQ(Lower(inf_.Value("Version", "Class")), "image");

    // Each category of the filter, with the reference string its factory registers under.
    const auto factories = platform::ks::FilterFactories(rig_.device());
    ASSERT_EQ(factories.size(), 1u);
    std::set<std::string> registered;
    const KSFILTER_DESCRIPTOR& filter = *factories[0].descriptor;
    for (ULONG i = 0; i < filter.CategoriesCount; ++i)
        registered.insert(GuidText(filter.Categories[i]) + " " +
                          platform::Utf16ToUtf8(factories[0].reference_string));
    std::set<std::string> installed;
    for (const auto& values : inf_.All(Install() + ".Interfaces", "AddInterface"))
        installed.insert(Lower(values.at(0)) + " " + values.at(1));
    EXPECT_EQ(installed, registered);

    // The binary the service loads, copies and takes from the disk is the one the build makes.
    const std::string binary = CAM_DRIVER_BINARY;
    const auto services = inf_.All(Install() + ".Services", "AddService");
    ASSERT_EQ(services.size(), 1u);
    EXPECT_THAT(inf_.Value(services[0].at(2), "ServiceBinary"), testing::EndsWith("\\" + binary));
    EXPECT_EQ(inf_.All("SourceDisksFiles", binary).size(), 1u);
    const std::string copies = inf_.Value(Install(), "CopyFiles");
    ASSERT_FALSE(inf_.Section(copies).empty());
    EXPECT_EQ(inf_.Section(copies)[0].values.at(0), binary);

    // The hardware id is the one the simulated camera reports.
    char hardware_id[32];
    std::snprintf(hardware_id, sizeof(hardware_id), "USB\\VID_%04X&PID_%04X", sim::kVendorId,
                  sim::kProductId);
    EXPECT_EQ(inf_.Section(Models())[0].values.at(1), hardware_id);
}

TEST_F(DriverPackageTest, EverySectionTheFileNamesExists) {
    std::vector<std::string> named = {Models(), Install(), Install() + ".Interfaces",
                                      Install() + ".Services"};
    for (const Inf::Line& line : inf_.Section("DestinationDirs")) {
        if (line.key != "defaultdestdir")
            named.push_back(line.key);
    }
    for (const auto& [name, lines] : inf_.sections()) {
        for (const Inf::Line& line : lines) {
            if (line.key == "addreg" || line.key == "copyfiles") {
                for (const std::string& value : line.values)
                    named.push_back(value);
            } else if (line.key == "addinterface" || line.key == "addservice") {
                named.push_back(line.values.at(2));
            }
        }
    }
    EXPECT_GE(named.size(), 9u);
    for (const std::string& name : named)
        EXPECT_TRUE(inf_.Has(name)) << "[" << name << "] is named but missing";
}

}  // namespace
