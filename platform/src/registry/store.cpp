// The registry store: loading it from its file, writing it back atomically, the devices' driver
// keys, the fault knobs and the host's view.
#include "store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/verifier.h"
#include "reg_parser.h"
#include "reg_writer.h"

namespace platform::registry::internal {

namespace {

constexpr char kClassKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
    "{6bdd1fc6-810f-11d0-bec7-08002be2092f}";

std::string ErrnoText() {
    return std::strerror(errno);
}

// Reads a whole file; *missing when there is none.
bool ReadWholeFile(const std::string& path, std::string* bytes, bool* missing, std::string* error) {
    *missing = false;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            *missing = true;
            return true;
        }
        *error = path + ": " + ErrnoText();
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read: " + ErrnoText();
        return false;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) {
        *error = path + ": cannot be read";
        return false;
    }
    *bytes = contents.str();
    return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= (size_t)written;
    }
    return true;
}

// The new contents go into a temporary file next to the old one, which a rename then replaces in
// one step: a crash at any moment leaves the old file or the new one, never a mixture.
// *crashed when the crash knob stopped the write.
bool WriteAtomically(const std::string& path, const std::string& contents, CrashPoint crash,
                     bool* crashed, std::string* error) {
    *crashed = false;
    std::string temporary = path + ".tmp-XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        *error = path + ": cannot write a temporary file beside it: " + ErrnoText();
        return false;
    }
    struct stat old_info;
    if (::stat(path.c_str(), &old_info) == 0)
        ::fchmod(fd, old_info.st_mode & 07777);
    const size_t length =
        crash == CrashPoint::kPartlyWritten ? contents.size() / 2 : contents.size();
    bool ok = WriteAll(fd, contents.data(), length);
    if (ok && crash == CrashPoint::kPartlyWritten) {
        ::close(fd);
        *crashed = true;
        return false;
    }
    // Synced before the rename, so that the name never stands for contents not yet on the disk.
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && crash == CrashPoint::kBeforeRename) {
        *crashed = true;
        return false;
    }
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": cannot be written: " + ErrnoText();
        ::unlink(temporary.c_str());
        return false;
    }
    // The folder is not synced: after a power loss the rename may be lost, which leaves the old
    // file, and that is all the store promises.
    return true;
}

// A fresh store for the first live device.
void Load(Store& store) {
    store.keys.clear();
    store.load_error.clear();
    store.write_error.clear();
    store.dead = false;
    if (store.file.empty())
        return;
    std::string bytes;
    bool missing = false;
    if (!ReadWholeFile(store.file, &bytes, &missing, &store.load_error) || missing)
        return;
    ParseRegFile(bytes, store.file, &store.keys, &store.load_error);
}

}  // namespace

Store& TheStore() {
    // Never destroyed: a device may still go away while the process exits.
    static Store* store = new Store;
    return *store;
}

bool KeyExists(Store& store, const std::string& path) {
    if (FindKey(store.keys, path) != nullptr)
        return true;
    for (const RegKey& key : store.keys) {
        if (IsBelow(key.path, path)) {
            store.keys.push_back(RegKey{path, {}, false});
            return true;
        }
    }
    return false;
}

NTSTATUS CountCall(Store& store) {
    ++store.calls;
    if (store.fail_call != 0 && store.calls == store.fail_call) {
        store.fail_call = 0;
        return store.fail_call_status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Commit(Store& store, std::vector<RegKey> next) {
    if (store.dead)
        return STATUS_REGISTRY_IO_FAILED;
    if (!store.file.empty()) {
        bool crashed = false;
        std::string error;
        const CrashPoint crash = store.crash;
        store.crash = CrashPoint::kNone;
        if (!WriteAtomically(store.file, FormatRegFile(next), crash, &crashed, &error)) {
            store.dead = crashed;
            store.write_error =
                crashed ? store.file + ": the writer stopped (simulated crash)" : error;
            return STATUS_REGISTRY_IO_FAILED;
        }
        store.write_error.clear();
    }
    store.keys = std::move(next);
    return STATUS_SUCCESS;
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
