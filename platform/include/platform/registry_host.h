// Host side of the registry stand-in: where the registry lives between runs, what a test or a tool
// sees of it, its fault knobs, and the plug-and-play hooks of the class-driver stand-in. Not for
// the driver.
//
// The store is a text file in the registry export format ("Windows Registry Editor Version 5.00";
// "REGEDIT4" is read too). It is read when a device is created while no other device exists, and
// again whenever another process has replaced it. Several processes share it as they share the
// platform's registry: each key or value the driver writes is its own update, made under a lock
// on FILE.lock beside it, into the file as it is then, which a temporary file in the same folder
// replaces, so that a crash at any moment leaves the old file or the new one. A value written as
// this process last read or wrote it changes nothing there, so that it cannot undo another
// process's newer value. Lines an update does not change stay as they were (comments, order, line
// ends, encoding), and a symbolic link is followed, not replaced. A name with a line break is
// refused; a string with one is written as its bytes. A file that cannot be parsed is refused, and
// never written: the device's keys cannot be opened (STATUS_REGISTRY_CORRUPT) and StoreError()
// says FILE:LINE: why. Without a file the store lives in memory, empty when the first device is
// created and gone with the last.
//
// Each device's driver key is
//   HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\NNNN
// (the image device class), NNNN being the lowest instance number no other live device has, so a
// lone camera is always 0000.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/io.h"
#include "platform/registry.h"

namespace platform::registry {

// ---- The store file
// -------------------------------------------------------------------------------

// Sets the file later device creations read; empty for none. Takes effect at the next load.
void SetStoreFile(const std::string& path);
std::string StoreFile();

// Whether `path` can serve as a store: a missing file can (it is created at the first change), so
// can a well-formed export. Otherwise false with *error = "FILE:LINE: reason" (or why the file
// cannot be read).
bool CheckStoreFile(const std::string& path, std::string* error);
// The values of key `key_path` in the well-formed file `path` whose type is not `type`, each as
// "FILE:LINE: value \"NAME\" is a REG_SZ, not a REG_DWORD" (the registry's names of the types).
std::vector<std::string> ValuesNotOfType(const std::string& path, const std::string& key_path,
                                         ULONG type);
// Makes `path` (and its folders) hold an empty export unless the file exists already; false with
// *error when that fails. For a store in a default place, made on first use.
bool CreateStoreFile(const std::string& path, std::string* error);
// `file` in folder `application` of the user's configuration folder: $XDG_CONFIG_HOME, else
// $HOME/.config. Empty when neither variable is set.
std::string DefaultStoreFile(const std::string& application, const std::string& file);

// Why the current store was refused at its load, or why its last write-back failed; empty when
// neither happened.
std::string StoreError();

// The driver key of the device with the given instance number, as the file names it.
std::string DriverKeyPath(unsigned instance);

// ---- Fault knobs (all cleared by ClearFaults)
// -------------------------------------------------------

// Every IoOpenDeviceRegistryKey fails with `status`; STATUS_SUCCESS lifts it.
void FailDriverKeyOpen(NTSTATUS status);
// Every query of the value `name` (compared without regard to case; empty: of any value) fails with
// `status`; STATUS_SUCCESS lifts it.
void FailValueQuery(const std::string& name, NTSTATUS status);
// The n-th registry call from now (1: the next; IoOpenDeviceRegistryKey, ZwCreateKey,
// ZwQueryValueKey and ZwSetValueKey count) fails with `status`, changing nothing; 0 disarms.
void FailNthCall(uint64_t n, NTSTATUS status);
// Registry calls made so far, counted as FailNthCall counts them.
uint64_t CallCount();

enum class CrashPoint {
    kNone,
    kPartlyWritten,  // the temporary file holds half of the new contents
    kBeforeRename,   // the temporary file is complete and synced, the rename has not happened
};
// The next write-back stops at `point`, as if the process died there: the change fails with
// STATUS_REGISTRY_IO_FAILED, the temporary file stays, and the store takes no further change until
// it is loaded again.
void CrashWhileWriting(CrashPoint point);

void ClearFaults();
// Back to the start: no file, no faults. The store itself goes with its last device.
void Reset();

// ---- Plug and play (the class-driver stand-in calls these)
// -----------------------------------------

// A device was created with this physical device object: the store is loaded when it is the only
// live device, and the device gets its instance number and its driver key.
void DeviceCreated(PDEVICE_OBJECT physical_device);
// The device goes away: a registry handle the driver opened for it and did not close is a verifier
// violation (and is closed).
void DeviceRemoved(PDEVICE_OBJECT physical_device);

}  // namespace platform::registry
