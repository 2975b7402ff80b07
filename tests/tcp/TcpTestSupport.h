#pragma once

// Helpers for the TCP side's tests: loopback sockets on free ports, bounded
// waits, trace capture across threads, packet building and a settings double.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Trace.h"
#include "support/CPropaty.h"
#include "tcp/TunnelPacket.h"
#include "tcp/XR_QUE.h"

namespace tcptest {

constexpr int kPollStepMs = 2;
constexpr int kDefaultWaitMs = 5000;

// Polls `condition` every few milliseconds until it holds or `timeoutMs` has
// passed; the result of the last check.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = kDefaultWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
    return true;
}

// Every trace line while it lives; safe while worker threads trace. Create it
// before any worker starts and destroy it after every worker has ended.
class TraceCapture {
public:
    TraceCapture() {
        platform::setTraceSink([this](std::string_view line) {
            std::lock_guard<std::mutex> guard(lock);
            lines.emplace_back(line);
        });
    }
    ~TraceCapture() { platform::setTraceSink({}); }
    int count(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        int n = 0;
        for (const auto& l : lines) {
            n += (l == line) ? 1 : 0;
        }
        return n;
    }
    bool has(const std::string& line) { return count(line) > 0; }
    // Index of the first line equal to `line` at or after `from`, or -1.
    int find(const std::string& line, int from = 0) {
        std::lock_guard<std::mutex> guard(lock);
        for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i) {
            if (lines[i] == line) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> guard(lock);
        return lines;
    }

private:
    std::mutex lock;
    std::vector<std::string> lines;
};

// A port nothing listens on right now (the system picks it; it may be taken
// again before use, which the callers tolerate by retrying or by the rarity).
inline int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A blocking TCP connection to address:port, or -1 (errno set).
inline int connectTo(int port, uint32_t address = htonl(INADDR_LOOPBACK)) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// A test's own listener on 127.0.0.1 (port 0 = a free one).
struct Listener {
    int fd = -1;
    int port = 0;
    explicit Listener(int receiveBufferBytes = 0) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBufferBytes > 0) {
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 8);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
    // An accepted connection within timeoutMs, or -1.
    int accept(int timeoutMs = kDefaultWaitMs) const {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) {
            return -1;
        }
        return ::accept(fd, nullptr, nullptr);
    }
};

// Reads until `count` bytes arrived, the peer closed, or timeoutMs passed.
inline std::string readBytes(int fd, size_t count, int timeoutMs = kDefaultWaitMs) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) != 1) {
            break;
        }
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - out.size()), 0);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

// True when the peer closed the connection (a read returns 0 or an error)
// within timeoutMs, with no bytes before it.
inline bool seesEnd(int fd, int timeoutMs = kDefaultWaitMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) {
        return false;
    }
    char c;
    return ::recv(fd, &c, 1, 0) <= 0;
}

inline void sendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

// A packet as the queues carry it.
inline std::vector<uint8_t> makePacket(uint16_t kind, uint16_t code, uint16_t port,
                                       const std::string& payload = "") {
    std::vector<uint8_t> packet(kPacketHeaderBytes + payload.size(), 0);
    TunnelPacketHeader h;
    initPacketHeader(h);
    h.kind = kind;
    h.code = code;
    h.port = port;
    h.dataLength = static_cast<uint16_t>(payload.size());
    storePacketHeader(h, packet.data());
    std::memcpy(packet.data() + kPacketHeaderBytes, payload.data(), payload.size());
    return packet;
}

inline int enqueuePacket(XR_QUE& queue, const std::vector<uint8_t>& packet) {
    return queue.enqueue(packet.data(), static_cast<unsigned>(packet.size()));
}

// One entry taken from a queue, cut to the packet's own extent.
struct Entry {
    TunnelPacketHeader header;
    std::string payload;
};

inline std::optional<Entry> takeEntry(XR_QUE& queue) {
    std::vector<uint8_t> slot(XR_QUE::kSlotBytes);
    if (queue.dequeue(slot.data()) == 0) {
        return std::nullopt;
    }
    Entry e;
    e.header = loadPacketHeader(slot.data());
    e.payload.assign(reinterpret_cast<const char*>(slot.data()) + kPacketHeaderBytes,
                     e.header.dataLength);
    return e;
}

// Waits for the next entry of a queue.
inline std::optional<Entry> waitEntry(XR_QUE& queue, int timeoutMs = kDefaultWaitMs) {
    std::optional<Entry> e;
    waitUntil([&] { return (e = takeEntry(queue)).has_value(); }, timeoutMs);
    return e;
}

// Collects data payloads of `kind` from a queue until `count` bytes arrived.
inline std::string collectData(XR_QUE& queue, uint16_t kind, size_t count,
                               int timeoutMs = kDefaultWaitMs) {
    std::string out;
    waitUntil(
        [&] {
            while (auto e = takeEntry(queue)) {
                if (e->header.kind == kind) {
                    out += e->payload;
                }
            }
            return out.size() >= count;
        },
        timeoutMs);
    return out;
}

// Entries open in this process's descriptor table.
inline int openDescriptorCount() {
    int n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* e = ::readdir(dir)) {
        n += (e->d_name[0] != '.') ? 1 : 0;
    }
    ::closedir(dir);
    return n - 1;  // the directory stream's own descriptor
}

// Settings whose mode and local overrides a test chooses. Registers itself as
// the process-wide settings object while it lives.
class TestSettings : public CPropaty {
public:
    int listenPort = 0;       // 0: the tunnel port
    std::string connectHost;  // empty: the configured host
    int connectPort = 0;      // 0: the configured port
    int getClientListenPort(int type) override {
        return listenPort != 0 ? listenPort : getClientPort(type);
    }
    std::string getServerConnectHost(int type) override {
        return connectHost.empty() ? std::string(getServerHost(type)) : connectHost;
    }
    int getServerConnectPort(int type) override {
        return connectPort != 0 ? connectPort : getServerPort(type);
    }
};

}  // namespace tcptest
