#include "platform/DriverSocket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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
}  // namespace

std::string defaultDirectory() {
    const std::string runtime = envValue("XDG_RUNTIME_DIR");
    if (!runtime.empty()) {
        return runtime + "/quillon";
    }
    return "/tmp/quillon-" + std::to_string(static_cast<unsigned long>(::getuid()));
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
