// The registry stand-in as a driver and a user see it: the services on a device's driver key, the
// store file they read and write, refused files, crashes while writing and handles left open.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/ks_host.h"
#include "platform/registry.h"
#include "platform/registry_host.h"
#include "tests/support/record_mode.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/settings_file.h"

namespace {

using camtest::ReadText;
using camtest::WriteText;

const KSDEVICE_DESCRIPTOR kDescriptor = {};

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return KsInitializeDriver(driver, path, &kDescriptor);
}

UNICODE_STRING Name(const WCHAR* text) {
    UNICODE_STRING name;
    name.Buffer = const_cast<WCHAR*>(text);
    name.Length = (USHORT)(std::char_traits<WCHAR>::length(text) * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    return name;
}

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n";

class RegistryTest : public RecordMode {
  protected:
    void SetUp() override {
        RecordMode::SetUp();
        file_ = dir_.File("registry.reg");
        platform::registry::SetStoreFile(file_);
        ASSERT_EQ(platform::ks::LoadDriver(Entry), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (device_ != nullptr)
            platform::ks::RemoveDevice(device_);
        platform::ks::UnloadDriver();
        RecordMode::TearDown();
    }

    void Plug() {
        NTSTATUS status;
        device_ = platform::ks::CreateDevice(nullptr, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    void Unplug() {
        platform::ks::RemoveDevice(device_);
        device_ = nullptr;
    }
    NTSTATUS OpenDriverKey(HANDLE* key) {
        return IoOpenDeviceRegistryKey(device_->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                       STANDARD_RIGHTS_READ, key);
    }
    NTSTATUS CreateKey(HANDLE root, const WCHAR* path, HANDLE* key, ULONG* disposition,
                       ULONG options = REG_OPTION_NON_VOLATILE) {
        UNICODE_STRING name = Name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   root, nullptr);
        return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, options, disposition);
    }
    // The driver key and its Settings key, both open.
    void OpenSettings(HANDLE* driver_key, HANDLE* settings) {
        ASSERT_EQ(OpenDriverKey(driver_key), STATUS_SUCCESS);
        ULONG disposition = 0;
        ASSERT_EQ(CreateKey(*driver_key, u"Settings", settings, &disposition), STATUS_SUCCESS);
    }
    static NTSTATUS SetDword(HANDLE key, const WCHAR* name, ULONG value) {
        UNICODE_STRING value_name = Name(name);
        return ZwSetValueKey(key, &value_name, 0, REG_DWORD, &value, sizeof(value));
    }
    struct Query {
        NTSTATUS status;
        ULONG needed;
        ULONG type;
        ULONG data_length;
        std::vector<UCHAR> data;
    };
    static Query QueryValue(HANDLE key, const WCHAR* name, ULONG length) {
        UNICODE_STRING value_name = Name(name);
        std::vector<UCHAR> buffer(length + 1, 0xEE);
        Query query{};
        query.status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, buffer.data(),
                                       length, &query.needed);
        auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
        if (length >= 12 && buffer[4] != 0xEE) {
            query.type = info->Type;
            query.data_length = info->DataLength;
        }
        if (query.status == STATUS_SUCCESS)
            query.data.assign(info->Data, info->Data + info->DataLength);
        EXPECT_EQ(buffer[length], 0xEE) << "written past the buffer";
        return query;
    }
    // A store file with the Settings key and the given value lines.
    std::string FileWithSettings(const std::string& lines) const {
        return kHeader + "\r\n[" + camtest::SettingsKeyPath() + "]\r\n" + lines;
    }

    camtest::ScratchDir dir_;
    std::string file_;
    PKSDEVICE device_ = nullptr;
};

TEST_F(RegistryTest, TheDriverKeyTakesSubkeysAndValuesWithThePlatformsStatuses) {
    Plug();
    HANDLE driver_key = nullptr;
    ASSERT_EQ(OpenDriverKey(&driver_key), STATUS_SUCCESS);
    HANDLE settings = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(driver_key, u"Settings", &settings, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    HANDLE again = nullptr;
    ASSERT_EQ(CreateKey(driver_key, u"SETTINGS", &again, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    HANDLE deep = nullptr;
    EXPECT_EQ(CreateKey(driver_key, u"Missing\\Deeper", &deep, &disposition),
              STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_EQ(SetDword(settings, u"Brightness", 510), STATUS_SUCCESS);
    Query query = QueryValue(again, u"brightness", 20);  // names compare without case
    EXPECT_EQ(query.status, STATUS_SUCCESS);
    EXPECT_EQ(query.needed, 16u);
    EXPECT_EQ(query.type, (ULONG)REG_DWORD);
    EXPECT_EQ(query.data, (std::vector<UCHAR>{0xFE, 0x01, 0x00, 0x00}));

    EXPECT_EQ(QueryValue(settings, u"Contrast", 20).status, STATUS_OBJECT_NAME_NOT_FOUND);
    // Room for the fixed part but not the data: the fixed part is written.
    query = QueryValue(settings, u"Brightness", 14);
    EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(query.needed, 16u);
    EXPECT_EQ(query.type, (ULONG)REG_DWORD);
    EXPECT_EQ(query.data_length, 4u);
    query = QueryValue(settings, u"Brightness", 8);
    EXPECT_EQ(query.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(query.needed, 16u);
    UCHAR long_data[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    UNICODE_STRING long_name = Name(u"Long");
    ASSERT_EQ(ZwSetValueKey(settings, &long_name, 0, REG_BINARY, long_data, 9), STATUS_SUCCESS);
    EXPECT_EQ(QueryValue(settings, u"Long", 20).status, STATUS_BUFFER_OVERFLOW);

    // The driver key was opened for neither reading nor writing values.
    EXPECT_EQ(QueryValue(driver_key, u"Brightness", 20).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetDword(driver_key, u"Brightness", 1), STATUS_ACCESS_DENIED);
    HANDLE other = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(device_->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                      KEY_READ, &other),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(device_->FunctionalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                      KEY_READ, &other),
              STATUS_INVALID_PARAMETER);

    for (HANDLE key : {again, settings, driver_key})
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(QueryValue(settings, u"Brightness", 20).status, STATUS_INVALID_HANDLE);
}

TEST_F(RegistryTest, EveryChangeReachesTheFileAndTheNextDeviceReadsIt) {
    WriteText(file_, "REGEDIT4\n\n; kept by hand\n[" + camtest::SettingsKeyPath() +
                         "]\n\"Text\"=\"a \\\"quoted\\\" \\\\ word\"\n@=dword:00000007\n"
                         "\"Big\"=hex(b):01,00,00,00,\\\n  00,00,00,80\n\"Gone\"=dword:00000001\n"
                         "\"Gone\"=-\n");
    Plug();
    HANDLE driver_key, settings;
    OpenSettings(&driver_key, &settings);
    EXPECT_EQ(QueryValue(settings, u"Big", 20).data,
              (std::vector<UCHAR>{1, 0, 0, 0, 0, 0, 0, 0x80}));
    EXPECT_EQ(QueryValue(settings, u"", 20).data, (std::vector<UCHAR>{7, 0, 0, 0}));
    EXPECT_EQ(QueryValue(settings, u"Gone", 20).status, STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(SetDword(settings, u"Timeout", 501), STATUS_SUCCESS);
    ZwClose(settings);
    ZwClose(driver_key);
    EXPECT_EQ(ReadText(file_),
              kHeader + "\r\n[" + platform::registry::DriverKeyPath(0) + "]\r\n\r\n[" +
                  camtest::SettingsKeyPath() +
                  "]\r\n\"Text\"=\"a \\\"quoted\\\" \\\\ word\"\r\n@=dword:00000007\r\n"
                  "\"Big\"=hex(b):01,00,00,00,00,00,00,80\r\n\"Timeout\"=dword:000001f5\r\n\r\n");

    Unplug();
    Plug();
    OpenSettings(&driver_key, &settings);
    Query query = QueryValue(settings, u"Text", 64);
    ASSERT_EQ(query.status, STATUS_SUCCESS);
    EXPECT_EQ(query.type, (ULONG)REG_SZ);
    EXPECT_EQ(query.data.size(), 2 * std::strlen("a \"quoted\" \\ word") + 2);
    EXPECT_EQ(QueryValue(settings, u"Timeout", 20).data, (std::vector<UCHAR>{0xF5, 1, 0, 0}));
    ZwClose(settings);
    ZwClose(driver_key);
}

TEST_F(RegistryTest, AUtf16ExportReadsLikeItsText) {
    const std::string text =
        kHeader + "\r\n[" + camtest::SettingsKeyPath() + "]\r\n\"Hue\"=dword:0000002a\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) {
        utf16.push_back(c);
        utf16.push_back('\0');
    }
    WriteText(file_, utf16);
    Plug();
    HANDLE driver_key, settings;
    OpenSettings(&driver_key, &settings);
    EXPECT_EQ(QueryValue(settings, u"Hue", 20).data, (std::vector<UCHAR>{42, 0, 0, 0}));
    ZwClose(settings);
    ZwClose(driver_key);
}

TEST_F(RegistryTest, AMalformedFileIsRefusedWithItsLineAndNeverWritten) {
    struct Case {
        std::string text;
        int line;
        const char* reason;
    };
    const std::string key = "[" + camtest::SettingsKeyPath() + "]\r\n";
    const Case cases[] = {
        {"", 1, "empty"},
        {"Windows Registry Editor Version 4.00\r\n", 1, "not a registry export"},
        {kHeader + "\"Hue\"=dword:00000001\r\n", 2, "outside any key"},
        {kHeader + "[HKEY_NOWHERE\\Key]\r\n", 2, "unknown root key"},
        {kHeader + "[HKEY_LOCAL_MACHINE\\Key\r\n", 2, "must end with ']'"},
        {kHeader + key + "\"Hue\"=dword:0000002\r\n", 3, "8 hex digits"},
        {kHeader + key + "\"Hue\"=dword:000", 3, "8 hex digits"},  // cut short
        {kHeader + key + "\"Hue\"=hex:01,0g\r\n", 3, "not a hex byte"},
        {kHeader + key + "\"Hue\"=hex:01,02,\\\r\n", 3, "past the end of the file"},
        {kHeader + key + "\"Hue\"=\"text\r\n", 3, "no closing quote"},
        {kHeader + key + "\"Hue\"=word:1\r\n", 3, "unknown value data"},
        {kHeader + key + "\"Hue\" dword:00000001\r\n", 3, "expected '='"},
        {kHeader + key + "Hue=dword:00000001\r\n", 3, "unexpected text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        WriteText(file_, c.text);
        std::string error;
        EXPECT_FALSE(platform::registry::CheckStoreFile(file_, &error));
        const std::string where = file_ + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(error.rfind(where, 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;

        Plug();
        HANDLE driver_key = nullptr;
        EXPECT_EQ(OpenDriverKey(&driver_key), STATUS_REGISTRY_CORRUPT);
        EXPECT_EQ(platform::registry::StoreError(), error);
        Unplug();
        EXPECT_EQ(ReadText(file_), c.text);
    }
    std::string error;
    EXPECT_TRUE(platform::registry::CheckStoreFile(dir_.File("missing.reg"), &error)) << error;
}

TEST_F(RegistryTest, ACrashWhileWritingLeavesTheOldFile) {
    using platform::registry::CrashPoint;
    for (CrashPoint point : {CrashPoint::kPartlyWritten, CrashPoint::kBeforeRename}) {
        SCOPED_TRACE((int)point);
        const std::string old_file = FileWithSettings("\"Hue\"=dword:00000001\r\n");
        WriteText(file_, old_file);
        Plug();
        HANDLE driver_key, settings;
        OpenSettings(&driver_key, &settings);
        platform::registry::CrashWhileWriting(point);
        EXPECT_EQ(SetDword(settings, u"Hue", 2), STATUS_REGISTRY_IO_FAILED);
        // The writer is gone: nothing later reaches the file either.
        EXPECT_EQ(SetDword(settings, u"Hue", 3), STATUS_REGISTRY_IO_FAILED);
        EXPECT_EQ(QueryValue(settings, u"Hue", 20).data, (std::vector<UCHAR>{1, 0, 0, 0}));
        ZwClose(settings);
        ZwClose(driver_key);
        EXPECT_EQ(ReadText(file_), old_file);
        Unplug();

        Plug();
        OpenSettings(&driver_key, &settings);
        EXPECT_EQ(QueryValue(settings, u"Hue", 20).data, (std::vector<UCHAR>{1, 0, 0, 0}));
        ZwClose(settings);
        ZwClose(driver_key);
        Unplug();
    }
}

TEST_F(RegistryTest, AFileThatCannotBeWrittenFailsTheChangeAndKeepsTheOldValue) {
    platform::registry::SetStoreFile(dir_.File("no-such-folder/registry.reg"));
    Plug();
    HANDLE driver_key = nullptr;
    ASSERT_EQ(OpenDriverKey(&driver_key), STATUS_SUCCESS);
    HANDLE settings = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(CreateKey(driver_key, u"Settings", &settings, &disposition),
              STATUS_REGISTRY_IO_FAILED);
    EXPECT_NE(platform::registry::StoreError().find("no-such-folder"), std::string::npos);
    // A volatile key is never written, so it can be made all the same.
    ASSERT_EQ(CreateKey(driver_key, u"Volatile", &settings, &disposition, REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    ASSERT_EQ(SetDword(settings, u"Hue", 5), STATUS_SUCCESS);
    ZwClose(settings);
    ZwClose(driver_key);
}

TEST_F(RegistryTest, AKeyLeftOpenWhenItsDeviceGoesAwayIsAViolation) {
    Plug();
    HANDLE driver_key, settings;
    OpenSettings(&driver_key, &settings);
    ZwClose(driver_key);
    Unplug();
    ExpectOneViolation({"Settings", "still open"});
    EXPECT_EQ(QueryValue(settings, u"Hue", 20).status, STATUS_INVALID_HANDLE);
}

TEST(RegistryFiles, TheDefaultFileLivesInTheUsersConfigurationFolder) {
    const char* saved_config = std::getenv("XDG_CONFIG_HOME");
    const std::string config = saved_config != nullptr ? saved_config : "";
    setenv("XDG_CONFIG_HOME", "/config/here", 1);
    EXPECT_EQ(platform::registry::DefaultStoreFile("app", "settings.reg"),
              "/config/here/app/settings.reg");
    unsetenv("XDG_CONFIG_HOME");
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    if (!home.empty()) {
        EXPECT_EQ(platform::registry::DefaultStoreFile("app", "settings.reg"),
                  home + "/.config/app/settings.reg");
    }
    if (saved_config != nullptr)
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);

    camtest::ScratchDir dir;
    const std::string path = dir.File("made/on/first/use.reg");
    std::string error;
    ASSERT_TRUE(platform::registry::CreateStoreFile(path, &error)) << error;
    EXPECT_EQ(ReadText(path), kHeader + "\r\n");
    WriteText(path, kHeader + "\r\n[HKEY_LOCAL_MACHINE\\Kept]\r\n");
    ASSERT_TRUE(platform::registry::CreateStoreFile(path, &error)) << error;
    EXPECT_EQ(ReadText(path), kHeader + "\r\n[HKEY_LOCAL_MACHINE\\Kept]\r\n");
}

}  // namespace
