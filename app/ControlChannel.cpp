#include "app/ControlChannel.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/UserRuntimeDir.h"
#include "platform/Trace.h"

namespace {

bool makeAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int sendTo(const std::string& path, const std::string& text) {
    sockaddr_un address;
    if (!makeAddress(path, address)) {
        return 0;
    }
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        return 0;
    }
    const ssize_t sent = ::sendto(s, text.data(), text.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(s);
    return sent == static_cast<ssize_t>(text.size()) ? 1 : 0;
}

}  // namespace

ControlChannel::~ControlChannel() {
    if (fd >= 0) {
        ::close(fd);
        ::unlink(path.c_str());
    }
}

std::string ControlChannel::directoryIn(const std::string& runtimeDirectory) {
    return runtimeDirectory + "/" + kDirectoryName;
}

bool ControlChannel::open(const std::string& directory) {
    if (!ensurePrivateDirectory(directory)) {
        return false;
    }
    const std::string socketPath = directory + "/" + kSocketName;
    sockaddr_un address;
    if (!makeAddress(socketPath, address)) {
        return false;
    }
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        return false;
    }
    ::unlink(socketPath.c_str());
    if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(s);
        return false;
    }
    fd = s;
    path = socketPath;
    return true;
}

int ControlChannel::readMessage() {
    if (fd < 0) {
        return 0;
    }
    char buffer[kMaxDatagramBytes + 1];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_TRUNC);
    if (n <= 0) {
        return 0;
    }
    if (static_cast<size_t>(n) > kMaxDatagramBytes) {
        platform::trace("ControlChannel: datagram of %zd bytes refused\n", n);
        return 0;
    }
    buffer[n] = '\0';
    if (std::strncmp(buffer, "QUILLONOPEN", 11) == 0) {
        return 0;  // an announcement; nothing here acts on it
    }
    int message = 0;
    char rest = 0;
    if (std::sscanf(buffer, "%d%c", &message, &rest) != 1 || message < kFirstMessage ||
        message > kLastMessage) {
        platform::trace("ControlChannel: unknown message \"%.*s\" ignored\n", static_cast<int>(n),
                        buffer);
        return 0;
    }
    return message;
}

int ControlChannel::post(const std::string& directory, int message) {
    return sendTo(directory + "/" + kSocketName, std::to_string(message));
}

int ControlChannel::messageOfWord(const std::string& word) {
    if (word == "close") {
        return 1225;
    }
    if (word == "open") {
        return 1226;
    }
    if (word == "close-gate") {
        return 1227;
    }
    if (word == "select") {
        return 1228;
    }
    return 0;
}

int ControlChannel::broadcastOpen(const std::string& directory, int productCode) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return 0;
    }
    char text[kMaxDatagramBytes];
    std::snprintf(text, sizeof text, "QUILLONOPEN %d 0", productCode);
    while (dirent* entry = ::readdir(dir)) {
        const std::string socketPath = directory + "/" + entry->d_name;
        struct stat st;
        if (::lstat(socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            sendTo(socketPath, text);
        }
    }
    ::closedir(dir);
    return 1;
}
