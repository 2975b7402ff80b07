// Two real streams, a Client side (listening for the FTP client) and a
// Server side (connecting to an FTP server stand-in), joined by the test in
// the driver's place. The test moves every write of one stream into the other
// stream's receive dispatch by hand, one direction at a time, so it can hold
// one direction back and replay the interleaving in which the end of one
// session overtakes the start of the next:
//
//   Client: a client connects and leaves at once; the Client's worker sends
//           DISCONNECT-REQUEST and accepts the next client at once.
//   Server: takes the notice; its worker ends and answers with a notice of
//           its own, behind the last bytes the FTP server wrote for the old
//           session.
//   Client: gets both after it accepted the next client and asked the peer
//           for it, before the CONNECT-REPLY for it.
//
// The next client must neither be ended by that late notice nor read the old
// session's greeting. Threaded: the socket workers run; the streams are
// ticked by hand and the test waits for the workers with a deadline.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "TunnelTestSupport.h"
#include "tunnel/XR_SKYPESTREAM.h"

namespace {

using namespace tunneltest;

constexpr const char* kApp = "QuillonForFtp2000";
constexpr auto kDeadline = std::chrono::seconds(10);
constexpr auto kPollPause = std::chrono::milliseconds(5);
constexpr int kReadTimeoutMs = 3000;
constexpr int kQuietMs = 300;  // how long a socket must stay silent to count as quiet

int listenOnLoopback(int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
        return -1;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

int freePort() {
    int port = 0;
    const int fd = listenOnLoopback(&port);
    ::close(fd);
    return port;
}

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything that arrives on `fd` within `ms` after the first byte, or ""
// when nothing comes; `closed` tells whether the peer ended the connection.
std::string readFor(int fd, int ms, bool* closed) {
    std::string text;
    *closed = false;
    char buffer[4096];
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, text.empty() ? ms : kQuietMs) != 1) {
            return text;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            *closed = true;
            return text;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

void sendText(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
}

// The settings of both sides: where the Client listens and where the Server
// connects (its FTP server stand-in).
class LoopbackSettings : public CPropaty {
public:
    int listenPort = 0;
    int serverPort = 0;
    int getClientListenPort(int) override { return listenPort; }
    std::string getServerConnectHost(int) override { return "127.0.0.1"; }
    int getServerConnectPort(int) override { return serverPort; }
};

class BackToBackSessions : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        server = listenOnLoopback(&serverPort);
        ASSERT_GE(server, 0);
        auto own = std::make_unique<LoopbackSettings>();
        own->listenPort = freePort();
        own->serverPort = serverPort;
        listenPort = own->listenPort;
        settings = std::move(own);
        settings->setAppMode(1);
        client = std::make_unique<XR_SKYPESTREAM>("bob", 1, kApp, 0);
        settings->setAppMode(0);
        serverSide = std::make_unique<XR_SKYPESTREAM>("alice", 1, kApp, 0);
        ASSERT_NE(clientControl(), nullptr);
    }
    void TearDown() override {
        for (int fd : descriptors) {
            ::close(fd);
        }
        client.reset();
        serverSide.reset();
        ::close(server);
        LinkFixture::TearDown();
    }
    int keep(int fd) {
        descriptors.push_back(fd);
        return fd;
    }
    XR_SOCKETTCP* clientControl() { return client->getTcpManager()->getControlSocket(); }
    XR_SOCKETTCP* serverControl() { return serverSide->getTcpManager()->getControlSocket(); }
    // The Client's worker relays a client that the peer has confirmed.
    bool clientRelaying() {
        return clientControl()->getConnectState() == XR_SOCKETTCP::kConnected &&
               clientControl()->getReplyState() == XR_SOCKETTCP::kReplyOk;
    }

    // Sorts the writes recorded since the last call into the two directions.
    void collect() {
        for (; seen < transport.commands.size(); ++seen) {
            const std::string& command = transport.commands[seen];
            const size_t write = command.find(" WRITE ");
            if (write == std::string::npos) {
                continue;
            }
            const std::string rest = command.substr(write + 7);  // "u:n <hex>"
            const std::string hex = rest.substr(rest.find(' ') + 1);
            if (rest.rfind("bob:1 ", 0) == 0) {
                toServer.push_back(hex);
            } else if (rest.rfind("alice:1 ", 0) == 0) {
                toClient.push_back(hex);
            }
        }
    }
    // One pump tick of one side (the driver has taken everything written).
    void tick(XR_SKYPESTREAM& stream) {
        stream.resumeWriting();
        stream.intervalTimer();
        collect();
    }
    void deliverToServer() {
        while (!toServer.empty()) {
            const std::string hex = toServer.front();
            toServer.pop_front();
            serverSide->repRead(("alice:1 " + hex).c_str());
            collect();
        }
    }
    void deliverToClient() {
        while (!toClient.empty()) {
            const std::string hex = toClient.front();
            toClient.pop_front();
            client->repRead(("bob:1 " + hex).c_str());
            collect();
        }
    }
    // Both directions, until `done` or the deadline.
    bool shuttleUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            tick(*client);
            deliverToServer();
            tick(*serverSide);
            deliverToClient();
            std::this_thread::sleep_for(kPollPause);
        }
        return true;
    }
    // Waits without moving any packet.
    static bool waitUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(kPollPause);
        }
        return true;
    }
    int acceptAtServer() {
        pollfd p{server, POLLIN, 0};
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (::poll(&p, 1, 0) != 1) {
            if (std::chrono::steady_clock::now() > deadline) {
                return -1;
            }
            tick(*client);
            deliverToServer();
            tick(*serverSide);
            deliverToClient();
            std::this_thread::sleep_for(kPollPause);
        }
        return keep(::accept(server, nullptr, nullptr));
    }

    Capture capture;  // keeps the traces off standard output, and shows the drops
    int server = -1;
    int serverPort = 0;
    int listenPort = 0;
    std::unique_ptr<XR_SKYPESTREAM> client;      // the Client side, peer "bob"
    std::unique_ptr<XR_SKYPESTREAM> serverSide;  // the Server side, peer "alice"
    std::deque<std::string> toServer;
    std::deque<std::string> toClient;
    size_t seen = 0;
    std::vector<int> descriptors;
};

TEST_F(BackToBackSessions, TheEndOfTheLastSessionOvertakesTheNextAndTheNextSurvives) {
    // A probe: connects, is relayed, leaves.
    const int probe = connectTo(listenPort);
    ASSERT_GE(probe, 0);
    const int first = acceptAtServer();
    ASSERT_GE(first, 0);
    ASSERT_TRUE(shuttleUntil([&] { return clientRelaying(); }));
    ::close(probe);

    // The Client's worker sees the end, queues its notice and accepts again.
    ASSERT_TRUE(waitUntil([&] {
        return clientControl()->getConnectState() == XR_SOCKETTCP::kAccepting &&
               clientControl()->getToPeerQueue().getCount() == 1;
    }));
    tick(*client);
    ASSERT_EQ(toServer.size(), 1u);  // the notice, not yet delivered

    // The FTP server greets the old session late; the Server's worker has
    // read it before the notice arrives.
    sendText(first, "220 old session\r\n");
    ASSERT_TRUE(waitUntil([&] { return serverControl()->getToPeerQueue().getCount() == 1; }));
    deliverToServer();
    // Its worker ends on the notice and answers with a notice of its own.
    ASSERT_TRUE(waitUntil([&] { return serverControl()->isRunning() == 0; }));
    tick(*serverSide);
    tick(*serverSide);
    ASSERT_EQ(toClient.size(), 2u);  // the greeting, then the notice: held back

    // The next client comes at once; its connect request is queued.
    const int next = keep(connectTo(listenPort));
    ASSERT_GE(next, 0);
    ASSERT_TRUE(waitUntil([&] {
        return clientControl()->getConnectState() == XR_SOCKETTCP::kConnected &&
               clientControl()->getToPeerQueue().getCount() == 1;
    }));
    // Now the old session's end reaches the Client: after the accept, before
    // the CONNECT-REPLY for the next client.
    deliverToClient();
    EXPECT_EQ(capture.count(
                  "XR_SKYPESTREAM::repRead() control data for an earlier connection, dropped\n"),
              1);
    EXPECT_EQ(capture.count(
                  "XR_SKYPESTREAM::repRead() disconnect for an earlier connection, ignored\n"),
              1);

    // The next session: the Server connects again and the greeting of the
    // new session is the first thing the next client reads.
    const int second = acceptAtServer();
    ASSERT_GE(second, 0);
    ASSERT_TRUE(shuttleUntil([&] { return clientRelaying(); }));
    sendText(second, "220 new session\r\n");
    std::string greeting;
    bool closed = false;
    ASSERT_TRUE(shuttleUntil([&] {
        pollfd p{next, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }));
    greeting = readFor(next, kReadTimeoutMs, &closed);
    EXPECT_EQ(greeting, "220 new session\r\n");
    EXPECT_FALSE(closed) << "the next client was ended by the last session's notice";

    // And it goes on both ways.
    sendText(next, "NOOP\r\n");
    ASSERT_TRUE(shuttleUntil([&] {
        pollfd p{second, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }));
    EXPECT_EQ(readFor(second, kReadTimeoutMs, &closed), "NOOP\r\n");
    sendText(second, "200 ok\r\n");
    ASSERT_TRUE(shuttleUntil([&] {
        pollfd p{next, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }));
    EXPECT_EQ(readFor(next, kReadTimeoutMs, &closed), "200 ok\r\n");
    EXPECT_FALSE(closed);
    EXPECT_EQ(clientControl()->getConnectState(), XR_SOCKETTCP::kConnected);
}

}  // namespace
