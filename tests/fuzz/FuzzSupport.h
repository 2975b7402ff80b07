#pragma once

// Shared pieces of the fuzz targets: a check that stops the run with a
// message (libFuzzer then saves the input), input splitting, the process-wide
// set-up the models need (a GUI loop on a hand-moved clock, settings in a
// temporary folder, silenced traces and event lines), a link transport that
// records what is sent, and a TCP manager that opens nothing.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../tunnel/PacketBuilder.h"
#include "platform/Clock.h"
#include "platform/EventLoop.h"
#include "platform/PollEventLoop.h"
#include "platform/Trace.h"
#include "skype/SkypeTransport.h"
#include "skype/XR_SKYPECOM.h"
#include "skype/XR_WINDOW.h"
#include "support/CPropaty.h"
#include "tcp/TunnelPacket.h"
#include "tcp/XR_SOCKETTCP.h"
#include "tcp/XR_TCPMANAGERFORFTP.h"
#include "tunnel/eventLine.h"
#include "../skype/RecordingTransport.h"

namespace fuzz {

// A property that must hold for every input; a failure aborts, so the fuzzer
// keeps the input as a crash.
#define FUZZ_CHECK(condition, what)                                                           \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s (%s)\n", __FILE__, __LINE__, \
                         what, #condition);                                                   \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// The input cut at every '\n' (the line ends are dropped, a trailing piece
// without one is a line too).
inline std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Reads the input front to back; past the end it yields zeros.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data(data), size(size) {}
    uint8_t u8() { return at < size ? data[at++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    std::string bytes(size_t n) {
        const size_t take = n < size - at ? n : size - at;
        std::string out(reinterpret_cast<const char*>(data + at), take);
        at += take;
        return out;
    }
    bool empty() const { return at >= size; }
    size_t remaining() const { return size - at; }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

// What every target that touches the link or the models needs, made once per
// process: the GUI loop, the settings (Server mode, so no stream listens;
// its connect target a closed loopback port, so a connect request fails at
// once), no trace output.
class ProcessSetUp {
public:
    static ProcessSetUp& get() {
        static ProcessSetUp instance;
        return instance;
    }
    platform::ManualClock clock;
    platform::PollEventLoop loop{clock};
    std::unique_ptr<CPropaty> settings;
    // Traces of the receive dispatch dropping a bad reply (no trace is kept).
    long dropTraces = 0;

private:
    ProcessSetUp() {
        platform::setTraceSink([this](std::string_view line) {
            if (line.find("bad packet dropped") != std::string_view::npos ||
                line.find("longer than the receive buffer") != std::string_view::npos ||
                line.find("DATA NASHI") != std::string_view::npos) {
                ++dropTraces;
            }
        });
        setEventLineObserver([](int, const char*) {});
        XR_WINDOW::setMessageBoxHook([](const char*, const char*) {});
        platform::setGuiLoop(&loop);
        // The settings read their file from the working directory: build them
        // in a folder of their own and come back.
        char folder[] = "/tmp/quillon-fuzz-XXXXXX";
        char previous[4096];
        if (::mkdtemp(folder) == nullptr || ::getcwd(previous, sizeof previous) == nullptr ||
            ::chdir(folder) != 0) {
            std::abort();
        }
        if (FILE* ini = std::fopen(CPropaty::kIniName, "w")) {
            std::fputs("[SYSTEM]\nAPPMODE=0\nENABLEUSER=1\n[SERVER]\nHOST=127.0.0.1\nPORT=1\n",
                       ini);
            std::fclose(ini);
        }
        settings = std::make_unique<CPropaty>();
        settings->loadIni();
        std::remove(CPropaty::kIniName);
        if (::chdir(previous) != 0 || ::rmdir(folder) != 0) {
            std::abort();
        }
    }
};

// Bare sockets (no descriptor, no worker) kept for the life of the process:
// each holds two queues of almost 1 MB, and making them anew for every input
// would spend the fuzzer's time in the allocator. A socket comes out with
// empty queues.
class SocketPool {
public:
    static std::unique_ptr<XR_SOCKETTCP> take(int isControl) {
        std::vector<std::unique_ptr<XR_SOCKETTCP>>& free = sockets();
        std::unique_ptr<XR_SOCKETTCP> socket;
        if (free.empty()) {
            socket = std::make_unique<XR_SOCKETTCP>();
        } else {
            socket = std::move(free.back());
            free.pop_back();
            socket->getFromPeerQueue().reset();
            socket->getToPeerQueue().reset();
        }
        socket->setControl(isControl);
        return socket;
    }
    // A control socket really connected over loopback (to a listener of this
    // process, whose end is reset at once), so it knows its local address;
    // it has no worker. nullptr when loopback is not available.
    static std::unique_ptr<XR_SOCKETTCP> takeConnected() {
        const int listener = loopbackListener();
        if (listener < 0) {
            return nullptr;
        }
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return nullptr;
        }
        std::unique_ptr<XR_SOCKETTCP> socket = take(1);
        socket->createClientSocket(XR_TCPMANAGERFORFTP::kFtpPort, "127.0.0.1",
                                   ntohs(address.sin_port));
        if (socket->connectClient() != 1) {
            give(std::move(socket));
            return nullptr;
        }
        const int accepted = ::accept(listener, nullptr, nullptr);
        if (accepted >= 0) {
            // Reset rather than closed: no connection lingers in TIME_WAIT.
            const linger reset{1, 0};
            ::setsockopt(accepted, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(accepted);
        }
        return socket;
    }
    static void give(std::unique_ptr<XR_SOCKETTCP> socket) {
        if (socket != nullptr) {
            socket->close();  // a connected one goes back bare
            sockets().push_back(std::move(socket));
        }
    }

private:
    static int loopbackListener() {
        static const int listener = [] {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                ::listen(fd, kListenBacklog) != 0) {
                return -1;
            }
            return fd;
        }();
        return listener;
    }
    static constexpr int kListenBacklog = 4;
    static std::vector<std::unique_ptr<XR_SOCKETTCP>>& sockets() {
        static std::vector<std::unique_ptr<XR_SOCKETTCP>> free;
        return free;
    }
};

// A TCP manager that opens nothing. Connect requests that succeed give it a
// bare socket, so what the stream hands to TCP stays in that socket's
// from-peer queue for the target to inspect.
class FuzzTcpManager : public XR_TCPMANAGERFORFTP {
public:
    FuzzTcpManager() : XR_TCPMANAGERFORFTP(kFtpPort) {}
    ~FuzzTcpManager() override { release(); }

    void openServer() override { ++calls; }
    void closeAll() override {
        ++calls;
        release();
    }
    int notifyTcpConnectRequest(int, const char*) override {
        ++calls;
        if (connectResult == 1 && controlSocket == nullptr) {
            controlSocket = SocketPool::take(1);
        }
        return connectResult;
    }
    void notifyTcpConnectReply(int, int) override { ++calls; }
    void notifyTcpDisconnect(int) override { ++calls; }
    int openDataLinkServer(int port, uint32_t bindAddress) override {
        ++calls;
        ++dataLinkServers;
        lastDataLinkPort = port;
        lastBindAddress = bindAddress;
        if (dataLinkSocket == nullptr) {
            dataLinkSocket = SocketPool::take(0);
        }
        return 40000 + port % 1000;
    }
    int notifyDataLinkConnectRequest(int, const char*) override {
        ++calls;
        if (connectResult == 1 && dataLinkSocket == nullptr) {
            dataLinkSocket = SocketPool::take(0);
        }
        return connectResult;
    }
    void notifyDataLinkConnectReply(int, int) override { ++calls; }
    void notifyDataLinkDisconnect(int) override { ++calls; }
    // A control socket connected over loopback; false when none could be made.
    bool giveConnectedControlSocket() {
        SocketPool::give(std::move(controlSocket));
        controlSocket = SocketPool::takeConnected();
        return controlSocket != nullptr;
    }
    // Hands in sockets without a connection, as listeners waiting for their client.
    void giveSockets(bool control, bool dataLink) {
        if (control && controlSocket == nullptr) {
            controlSocket = SocketPool::take(1);
        }
        if (dataLink && dataLinkSocket == nullptr) {
            dataLinkSocket = SocketPool::take(0);
        }
    }

    int calls = 0;
    int connectResult = 1;
    int dataLinkServers = 0;
    int lastDataLinkPort = 0;
    uint32_t lastBindAddress = 0;

private:
    void release() {
        SocketPool::give(std::move(controlSocket));
        SocketPool::give(std::move(dataLinkSocket));
    }
};

// What the receive dispatch must make of the hexadecimal part of a read
// reply, worked out here on its own: the decoded bytes, their header, and
// whether the packet may be used (a 40-byte header whose packet lies within
// the bytes that came and fits one queue slot).
struct ReplyVerdict {
    bool accepted = false;
    TunnelPacketHeader header;
    std::vector<unsigned char> bytes;
};

inline ReplyVerdict judgeReply(const char* hex, size_t maxHexChars) {
    ReplyVerdict verdict;
    const size_t length = std::strlen(hex);
    if (length > maxHexChars || length % 2 != 0) {
        return verdict;
    }
    verdict.bytes.resize(length / 2);
    for (size_t i = 0; i < verdict.bytes.size(); ++i) {
        verdict.bytes[i] = static_cast<unsigned char>(hexDigitValue(hex[2 * i]) * 16 +
                                                      hexDigitValue(hex[2 * i + 1]));
    }
    unsigned char head[kPacketHeaderBytes] = {};
    if (!verdict.bytes.empty()) {
        std::memcpy(
            head, verdict.bytes.data(),
            verdict.bytes.size() < kPacketHeaderBytes ? verdict.bytes.size() : kPacketHeaderBytes);
    }
    verdict.header = loadPacketHeader(head);
    verdict.accepted = verdict.header.headerLength == kPacketHeaderBytes &&
                       verdict.header.packetSize() <= verdict.bytes.size() &&
                       verdict.header.packetSize() <= kMaxQueuedPacketBytes;
    return verdict;
}

// Packets built field by field (the rest of the header as initPacketHeader
// leaves it), shared with the unit tests.
using TunnelFields = tunneltest::PacketFields;
using tunneltest::buildPacket;
using tunneltest::hexOf;

}  // namespace fuzz
