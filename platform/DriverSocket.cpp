#include "platform/DriverSocket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Clock.h"

namespace platform {

namespace driversocket {

namespace {
std::string envValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string fallbackDirectory() {
    return "/tmp/quillon-" + std::to_string(static_cast<unsigned long>(::getuid()));
}

// Says once per process why a driver socket is not used; the gateway's
// rediscovery would otherwise repeat it every few seconds.
void explainRefusal(const std::string& why) {
    static bool told = false;
    if (!told) {
        told = true;
        std::fprintf(stderr, "quillon: %s\n", why.c_str());
    }
}

}  // namespace

std::string defaultDirectory() {
    const std::string runtime = envValue("XDG_RUNTIME_DIR");
    if (!runtime.empty()) {
        return runtime + "/quillon";
    }
    return fallbackDirectory();
}

int ensurePrivateDirectory(const std::string& directory, std::string& why) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "cannot create " + directory + ": " + std::strerror(errno);
        return 0;
    }
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) {
        why = "cannot inspect " + directory + ": " + std::strerror(errno);
        return 0;
    }
    if (!S_ISDIR(info.st_mode)) {
        why = directory + " is not a directory";
        return 0;
    }
    if (info.st_uid != ::getuid()) {
        why = directory + " belongs to uid " + std::to_string(info.st_uid) +
              ", not to this user; another user may have placed a socket there";
        return 0;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = directory + " is writable by other users";
        return 0;
    }
    return 1;
}

int isTrustedPeer(int fd, std::string& why) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        why = std::string("cannot read the driver's credentials: ") + std::strerror(errno);
        return 0;
    }
    if (credentials.uid != ::getuid() && credentials.uid != 0) {
        why = "the driver socket is served by uid " + std::to_string(credentials.uid) +
              " (pid " + std::to_string(credentials.pid) +
              "), not by this user; refusing to attach to it";
        return 0;
    }
    return 1;
}

std::string defaultPath() {
    const std::string named = envValue(kPathVariable);
    if (!named.empty()) {
        return named;
    }
    return defaultDirectory() + "/driver.sock";
}

int connectTo(const std::string& path) {
    if (path.empty() || path.size() > kMaxPathBytes) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // The shared /tmp fallback is the one place another user could have
    // prepared: the directory must be this user's own and private.
    const std::string fallback = fallbackDirectory();
    if (path.compare(0, fallback.size() + 1, fallback + "/") == 0) {
        std::string why;
        if (ensurePrivateDirectory(fallback, why) == 0) {
            explainRefusal(why);
            errno = EACCES;
            return -1;
        }
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    std::string why;
    if (isTrustedPeer(fd, why) == 0) {
        explainRefusal(path + ": " + why);
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

int writeAll(int fd, const char* data, size_t n, int timeoutMs) {
    const Clock& clock = SteadyClock::instance();
    const int64_t deadline = clock.nowMs() + std::max(timeoutMs, 0);
    size_t done = 0;
    while (done < n) {
        const ssize_t wrote = ::send(fd, data + done, n - done, MSG_NOSIGNAL);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return 0;
        }
        const int64_t left = deadline - clock.nowMs();
        if (left <= 0) {
            return 0;
        }
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            return 0;
        }
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return 0;
        }
    }
    return 1;
}

}  // namespace driversocket

}  // namespace platform
