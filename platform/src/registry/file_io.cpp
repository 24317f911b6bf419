#include "file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform::registry::internal {
namespace {

std::string ErrnoText() {
    return std::strerror(errno);
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

}  // namespace

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

std::string FollowLinks(const std::string& path) {
    std::string target = path;
    // A bounded number of hops, as the system bounds them, so that a loop ends.
    for (int hop = 0; hop < 40; ++hop) {
        char link[PATH_MAX];
        const ssize_t length = ::readlink(target.c_str(), link, sizeof(link) - 1);
        if (length < 0)
            return target;
        link[length] = '\0';
        if (link[0] == '/') {
            target = link;
        } else {
            const size_t slash = target.rfind('/');
            target = (slash == std::string::npos ? "" : target.substr(0, slash + 1)) + link;
        }
    }
    return target;
}

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

bool FileVersion::operator==(const FileVersion& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

bool VersionOf(const std::string& path, FileVersion* version) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return false;
    *version = FileVersion{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    return true;
}

FileLock::FileLock(const std::string& path) {
    const std::string lock_path = path + ".lock";
    fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        error_ = lock_path + ": cannot be opened: " + ErrnoText();
        return;
    }
    int result;
    do {
        result = ::flock(fd_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        error_ = lock_path + ": cannot be locked: " + ErrnoText();
        ::close(fd_);
        fd_ = -1;
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

}  // namespace platform::registry::internal
