// The store file on the disk: read whole, replaced atomically, and locked while a process reads,
// changes and replaces it, so that several processes can share one file as they share the
// platform's registry.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/registry_host.h"

namespace platform::registry::internal {

// Reads a whole file; *missing when there is none.
bool ReadWholeFile(const std::string& path, std::string* bytes, bool* missing, std::string* error);

// The file that `path` names once its symbolic links are followed: a store reached through a link
// is written where the link points, and the link stays.
std::string FollowLinks(const std::string& path);

// Replaces the file with `contents` through a temporary file beside it, so that a crash at any
// moment leaves the old file or the new one. *crashed when the crash knob stopped the write.
bool WriteAtomically(const std::string& path, const std::string& contents, CrashPoint crash,
                     bool* crashed, std::string* error);

// Which version of a file was seen: a replaced file has another inode, a rewritten one another
// time or size.
struct FileVersion {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    bool operator==(const FileVersion& other) const;
};
// False when the file cannot be looked at (a missing file included).
bool VersionOf(const std::string& path, FileVersion* version);

// An exclusive lock on the file `path` + ".lock", held for the life of the object. The lock is
// never on the store file itself, since that is replaced by a rename.
class FileLock {
  public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

  private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace platform::registry::internal
