// The registry stand-in's state, shared by the host side (store.cpp) and the services the driver
// calls (services.cpp).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "file_io.h"
#include "platform/registry.h"
#include "platform/registry_host.h"
#include "reg_edit.h"
#include "reg_key.h"

namespace platform::registry::internal {

// What a key handle names.
struct KeyObject {
    std::string path;
    PDEVICE_OBJECT owner;  // the device whose driver key the handle descends from
    ACCESS_MASK access;
};

struct Store {
    std::mutex mutex;
    std::string file;
    std::vector<RegKey> keys;
    std::string load_error;   // the loaded file was refused: nothing is served
    std::string write_error;  // the last write-back failed
    bool dead = false;        // a simulated crash ended the writer
    std::vector<std::pair<PDEVICE_OBJECT, unsigned>> devices;  // live devices, instance numbers
    std::map<HANDLE, KeyObject*> open;
    FileVersion version;  // of the file the contents were last read from or written to
    // Each value as this process last read or wrote it ("path\nname", folded): writing it again
    // unchanged leaves the file alone, so that it cannot undo another process's newer value.
    std::map<std::string, RegValue> seen;

    NTSTATUS driver_key_fault = STATUS_SUCCESS;
    std::string query_fault_name;
    NTSTATUS query_fault = STATUS_SUCCESS;
    uint64_t calls = 0;
    uint64_t fail_call = 0;  // the call number that fails, 0 for none
    NTSTATUS fail_call_status = STATUS_SUCCESS;
    CrashPoint crash = CrashPoint::kNone;
};

Store& TheStore();

// The rest: the caller holds the store's mutex.

// A key exists when it is listed or a listed key lies below it: a hand-written file need not list
// every key on the way down. A key found that way is listed from then on, so that it can take
// values.
bool KeyExists(Store& store, const std::string& path);
// Counts a registry call; the injected failure of this call, or STATUS_SUCCESS.
NTSTATUS CountCall(Store& store);
bool KeyExistsIn(std::vector<RegKey>& keys, const std::string& path);
// Sets a value of a key that exists, replacing one of the same name where it stands.
void SetValueIn(std::vector<RegKey>& keys, const std::string& path, const std::string& name,
                const RegValue& value);
// Applies one change to the store and, when there is a file, to the file: under the file's lock it
// is read, changed and replaced, so that every other process's changes stay. A change the file
// holds already, or a value written as this process last saw it, writes nothing. On failure the
// store keeps its contents and the result is STATUS_REGISTRY_IO_FAILED, or
// STATUS_REGISTRY_CORRUPT when another process left a file that cannot be read.
NTSTATUS Commit(Store& store, const RegEdit& edit);
// Takes in what other processes changed in the file since it was last read.
void Refresh(Store& store);
// Notes that this process read a value as `value`.
void Seen(Store& store, const std::string& path, const std::string& name, const RegValue& value);
// The instance number of a live device, or -1.
int InstanceOf(const Store& store, PDEVICE_OBJECT physical_device);

}  // namespace platform::registry::internal
