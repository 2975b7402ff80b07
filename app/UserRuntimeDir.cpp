#include "app/UserRuntimeDir.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {
constexpr mode_t kPrivateMode = 0700;

bool isOwnDirectory(const std::string& dir, bool requirePrivate) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        return false;
    }
    return !requirePrivate || (st.st_mode & 077) == 0;
}
}  // namespace

bool ensurePrivateDirectory(const std::string& dir) {
    if (::mkdir(dir.c_str(), kPrivateMode) != 0 && errno != EEXIST) {
        return false;
    }
    return isOwnDirectory(dir, true);
}

std::string userRuntimeDirectory() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] == '/' && isOwnDirectory(xdg, false)) {
        return xdg;
    }
    const std::string fallback = "/tmp/quillon-" + std::to_string(::geteuid());
    return ensurePrivateDirectory(fallback) ? fallback : std::string();
}
