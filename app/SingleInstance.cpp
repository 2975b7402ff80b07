#include "app/SingleInstance.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

namespace {
constexpr const char* kMutexPrefix = "__MOSSLANTERN__";
constexpr const char* kProductTitle = "QuillonForFTP Ⅱ";
constexpr mode_t kLockFileMode = 0600;
}  // namespace

std::string SingleInstance::mutexName() {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%s%s", kMutexPrefix, kProductTitle);
    return buffer;
}

SingleInstance::~SingleInstance() {
    if (fd >= 0) {
        ::close(fd);
    }
}

SingleInstance::Result SingleInstance::acquire(const std::string& directory,
                                               const std::string& name) {
    if (directory.empty()) {
        return kFailed;
    }
    const std::string path = directory + "/" + name;
    const int lockFd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockFileMode);
    if (lockFd < 0) {
        return kFailed;
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(lockFd);
        return held ? kAlreadyRunning : kFailed;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    fd = lockFd;
    return kAcquired;
}
