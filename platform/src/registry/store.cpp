// The registry store: loading it from its file, writing it back atomically, the devices' driver
// keys, the fault knobs and the host's view.
#include "store.h"

#include <cstdlib>
#include <filesystem>

#include "platform/verifier.h"
#include "reg_parser.h"
#include "reg_syntax.h"
#include "reg_writer.h"

namespace platform::registry::internal {

namespace {

constexpr char kClassKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
    "{6bdd1fc6-810f-11d0-bec7-08002be2092f}";

std::string SeenKey(const std::string& path, const std::string& name) {
    return FoldCase(path) + "\n" + FoldCase(name);
}

std::vector<RegKey> Applied(std::vector<RegKey> keys, const RegEdit& edit) {
    if (edit.set_value)
        SetValueIn(keys, edit.key_path, edit.name, edit.value);
    else if (!KeyExistsIn(keys, edit.key_path))
        keys.push_back(RegKey{edit.key_path, {}, false});
    return keys;
}

// The file's keys, with what lives only in this process: volatile keys and the live devices'
// driver keys, which exist from installation on.
void TakeFileKeys(Store& store, std::vector<RegKey> file_keys) {
    for (const RegKey& key : store.keys) {
        if (key.is_volatile)
            file_keys.push_back(key);
    }
    for (const auto& [device, instance] : store.devices) {
        const std::string path = platform::registry::DriverKeyPath(instance);
        if (!KeyExistsIn(file_keys, path))
            file_keys.push_back(RegKey{path, {}, false});
    }
    store.keys = std::move(file_keys);
}

// A fresh store for the first live device.
void Load(Store& store) {
    store.keys.clear();
    store.seen.clear();
    store.version = FileVersion{};
    store.load_error.clear();
    store.write_error.clear();
    store.dead = false;
    if (store.file.empty())
        return;
    std::string bytes;
    bool missing = false;
    if (!ReadWholeFile(store.file, &bytes, &missing, &store.load_error) || missing)
        return;
    VersionOf(store.file, &store.version);
    ParseRegFile(bytes, store.file, &store.keys, &store.load_error);
    for (const RegKey& key : store.keys) {
        for (const auto& [name, value] : key.values)
            store.seen[SeenKey(key.path, name)] = value;
    }
}

// Reads, changes and replaces the file; the caller holds its lock.
NTSTATUS UpdateFile(Store& store, const std::string& target, const RegEdit& edit) {
    std::string bytes;
    bool missing = false;
    std::string error;
    if (!ReadWholeFile(target, &bytes, &missing, &error)) {
        store.write_error = error;
        return STATUS_REGISTRY_IO_FAILED;
    }
    std::string text;
    TextEncoding encoding = TextEncoding::kPlain;
    std::vector<RegKey> file_keys;
    if (!missing && !ParseRegFile(bytes, store.file, &file_keys, &error)) {
        store.write_error = error;
        return STATUS_REGISTRY_CORRUPT;
    }
    DecodeRegText(bytes, &text, &encoding);
    std::vector<RegKey> next = Applied(file_keys, edit);
    if (!missing && SameKeys(next, file_keys)) {
        TakeFileKeys(store, std::move(file_keys));
        VersionOf(target, &store.version);
        return STATUS_SUCCESS;
    }
    bool crashed = false;
    const CrashPoint crash = store.crash;
    store.crash = CrashPoint::kNone;
    const std::string contents = EncodeRegText(EditRegText(text, edit, next), encoding);
    if (!WriteAtomically(target, contents, crash, &crashed, &error)) {
        store.dead = crashed;
        store.write_error = crashed ? store.file + ": the writer stopped (simulated crash)" : error;
        return STATUS_REGISTRY_IO_FAILED;
    }
    store.write_error.clear();
    TakeFileKeys(store, std::move(next));
    VersionOf(target, &store.version);
    return STATUS_SUCCESS;
}

}  // namespace

Store& TheStore() {
    // Never destroyed: a device may still go away while the process exits.
    static Store* store = new Store;
    return *store;
}

bool KeyExistsIn(std::vector<RegKey>& keys, const std::string& path) {
    if (FindKey(keys, path) != nullptr)
        return true;
    for (const RegKey& key : keys) {
        if (IsBelow(key.path, path)) {
            keys.push_back(RegKey{path, {}, false});
            return true;
        }
    }
    return false;
}

void SetValueIn(std::vector<RegKey>& keys, const std::string& path, const std::string& name,
                const RegValue& value) {
    KeyExistsIn(keys, path);
    RegKey* key = FindKey(keys, path);
    if (key == nullptr) {
        keys.push_back(RegKey{path, {}, false});
        key = &keys.back();
    }
    for (auto& [stored_name, stored_value] : key->values) {
        if (SameName(stored_name, name)) {
            stored_value = value;
            return;
        }
    }
    key->values.emplace_back(name, value);
}

bool KeyExists(Store& store, const std::string& path) {
    return KeyExistsIn(store.keys, path);
}

NTSTATUS CountCall(Store& store) {
    ++store.calls;
    if (store.fail_call != 0 && store.calls == store.fail_call) {
        store.fail_call = 0;
        return store.fail_call_status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Commit(Store& store, const RegEdit& edit) {
    if (store.dead)
        return STATUS_REGISTRY_IO_FAILED;
    if (store.file.empty()) {
        store.keys = Applied(std::move(store.keys), edit);
        return STATUS_SUCCESS;
    }
    if (edit.set_value) {
        const auto seen = store.seen.find(SeenKey(edit.key_path, edit.name));
        if (seen != store.seen.end() && seen->second == edit.value)
            return STATUS_SUCCESS;
    }
    const std::string target = FollowLinks(store.file);
    NTSTATUS status;
    {
        FileLock lock(target);
        if (!lock.held()) {
            store.write_error = lock.error();
            return STATUS_REGISTRY_IO_FAILED;
        }
        status = UpdateFile(store, target, edit);
    }
    if (NT_SUCCESS(status) && edit.set_value)
        Seen(store, edit.key_path, edit.name, edit.value);
    return status;
}

void Refresh(Store& store) {
    FileVersion version;
    if (store.file.empty() || !store.load_error.empty() || store.dead ||
        !VersionOf(store.file, &version) || version == store.version) {
        return;
    }
    std::string bytes;
    bool missing = false;
    std::string error;
    std::vector<RegKey> file_keys;
    // A file another process left unreadable is not taken in; the next change reports it.
    if (ReadWholeFile(store.file, &bytes, &missing, &error) && !missing &&
        ParseRegFile(bytes, store.file, &file_keys, &error)) {
        TakeFileKeys(store, std::move(file_keys));
        store.version = version;
    }
}

void Seen(Store& store, const std::string& path, const std::string& name, const RegValue& value) {
    store.seen[SeenKey(path, name)] = value;
}

int InstanceOf(const Store& store, PDEVICE_OBJECT physical_device) {
    for (const auto& [device, instance] : store.devices) {
        if (device == physical_device)
            return (int)instance;
    }
    return -1;
}

}  // namespace platform::registry::internal

namespace platform::registry {

using internal::Store;
using internal::TheStore;

void SetStoreFile(const std::string& path) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    store.file = path;
}

std::string StoreFile() {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    return store.file;
}

bool CheckStoreFile(const std::string& path, std::string* error) {
    std::string bytes;
    bool missing = false;
    if (!internal::ReadWholeFile(path, &bytes, &missing, error))
        return false;
    std::vector<internal::RegKey> keys;
    return missing || internal::ParseRegFile(bytes, path, &keys, error);
}

std::vector<std::string> ValuesNotOfType(const std::string& path, const std::string& key_path,
                                         ULONG type) {
    std::string bytes;
    bool missing = false;
    std::string error;
    std::vector<internal::RegKey> keys;
    std::vector<internal::ValueSource> lines;
    std::vector<std::string> found;
    if (!internal::ReadWholeFile(path, &bytes, &missing, &error) || missing ||
        !internal::ParseRegFile(bytes, path, &keys, &error, &lines)) {
        return found;
    }
    internal::RegKey* key = internal::FindKey(keys, key_path);
    if (key == nullptr)
        return found;
    for (const auto& [name, value] : key->values) {
        if (value.type == type)
            continue;
        size_t line = 0;
        for (const internal::ValueSource& where : lines) {
            if (internal::SameName(where.key_path, key_path) &&
                internal::SameName(where.name, name))
                line = where.line;
        }
        found.push_back(path + ":" + std::to_string(line) + ": value \"" + name + "\" is a " +
                        internal::TypeName(value.type) + ", not a " + internal::TypeName(type));
    }
    return found;
}

bool CreateStoreFile(const std::string& path, std::string* error) {
    std::error_code code;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder, code);
    if (code) {
        *error = folder.string() + ": " + code.message();
        return false;
    }
    if (std::filesystem::exists(path, code))
        return true;
    bool crashed = false;
    return internal::WriteAtomically(path, internal::FormatRegFile({}), CrashPoint::kNone, &crashed,
                                     error);
}

std::string DefaultStoreFile(const std::string& application, const std::string& file) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0')
            return "";
        base = std::filesystem::path(home) / ".config";
    }
    return (base / application / file).string();
}

std::string StoreError() {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    return store.load_error.empty() ? store.write_error : store.load_error;
}

std::string DriverKeyPath(unsigned instance) {
    char number[8];
    std::snprintf(number, sizeof(number), "%04u", instance);
    return std::string(internal::kClassKey) + "\\" + number;
}

void FailDriverKeyOpen(NTSTATUS status) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    store.driver_key_fault = status;
}

void FailValueQuery(const std::string& name, NTSTATUS status) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    store.query_fault_name = name;
    store.query_fault = status;
}

void FailNthCall(uint64_t n, NTSTATUS status) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    store.fail_call = n == 0 ? 0 : store.calls + n;
    store.fail_call_status = status;
}

uint64_t CallCount() {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    return store.calls;
}

void CrashWhileWriting(CrashPoint point) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    store.crash = point;
}

void ClearFaults() {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    store.driver_key_fault = STATUS_SUCCESS;
    store.query_fault_name.clear();
    store.query_fault = STATUS_SUCCESS;
    store.fail_call = 0;
    store.crash = CrashPoint::kNone;
}

void Reset() {
    ClearFaults();
    SetStoreFile("");
}

void DeviceCreated(PDEVICE_OBJECT physical_device) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.mutex);
    if (store.devices.empty())
        internal::Load(store);
    unsigned instance = 0;
    while (true) {
        bool taken = false;
        for (const auto& [device, number] : store.devices)
            taken = taken || number == instance;
        if (!taken)
            break;
        ++instance;
    }
    store.devices.emplace_back(physical_device, instance);
    // The key exists from installation on; it reaches the file with the first change.
    const std::string path = DriverKeyPath(instance);
    if (store.load_error.empty() && !internal::KeyExists(store, path))
        store.keys.push_back(internal::RegKey{path, {}, false});
}

void DeviceRemoved(PDEVICE_OBJECT physical_device) {
    Store& store = TheStore();
    std::vector<std::pair<HANDLE, std::string>> left_open;
    {
        std::lock_guard<std::mutex> guard(store.mutex);
        for (const auto& [handle, key] : store.open) {
            if (key->owner == physical_device)
                left_open.emplace_back(handle, key->path);
        }
    }
    for (const auto& [handle, path] : left_open) {
        verifier::Violation("registry key " + path + " is still open when its device is removed");
        ZwClose(handle);
    }
    std::lock_guard<std::mutex> guard(store.mutex);
    std::erase_if(store.devices, [&](const auto& entry) { return entry.first == physical_device; });
    if (store.devices.empty())
        store.keys.clear();
}

}  // namespace platform::registry
