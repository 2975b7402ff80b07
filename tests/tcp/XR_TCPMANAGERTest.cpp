#include "tcp/XR_TCPMANAGERFORFTP.h"

#include <gtest/gtest.h>

#include <memory>

#include "TcpTestSupport.h"
#include "platform/ProcessFlags.h"

namespace {

using namespace tcptest;

constexpr int kTunnelPort = 21;

std::string format(const char* fmt, int value) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

std::string format(const char* fmt, const char* text, int value) {
    char line[1024];
    std::snprintf(line, sizeof line, fmt, text, value);
    return line;
}

// The FTP manager with its event lines kept, since the event log drops them.
class RecordingManager : public XR_TCPMANAGERFORFTP {
public:
    using XR_TCPMANAGERFORFTP::XR_TCPMANAGERFORFTP;
    std::vector<std::string> lines;

protected:
    void writeEventLine(const char* line) override { lines.emplace_back(line); }
};

class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override { platform::setLocalOnly(true); }
    // Builds the manager in the given mode (1 = Client) with the Client's
    // listener moved to a free port.
    RecordingManager& makeManager(int appMode) {
        settings.setAppMode(appMode);
        settings.listenPort = freePort();
        manager = std::make_unique<RecordingManager>(kTunnelPort);
        return *manager;
    }
    void TearDown() override {
        manager.reset();
        for (int fd : clients) {
            ::close(fd);
        }
    }
    int connectClient() {
        const int fd = connectTo(settings.listenPort);
        EXPECT_GE(fd, 0);
        clients.push_back(fd);
        return fd;
    }
    static void expectMessage(const std::optional<Entry>& entry, uint16_t kind, uint16_t code,
                              int port) {
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->header.kind, kind);
        EXPECT_EQ(entry->header.code, code);
        EXPECT_EQ(entry->header.port, port);
        EXPECT_EQ(entry->header.dataLength, 0);
    }

    TraceCapture traces;  // first in, last out: outlives every worker
    TestSettings settings;
    std::unique_ptr<RecordingManager> manager;
    std::vector<int> clients;
};

TEST_F(ManagerTest, ClientModeServesOneClientAfterAnother) {
    RecordingManager& m = makeManager(1);
    EXPECT_EQ(m.getMode(), XR_TCPMANAGER::kModeClient);
    m.openServer();
    XR_SOCKETTCP* control = m.getControlSocket();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(m.lines, std::vector<std::string>{"サーバソケット作成: ポート番号=21 "});
    EXPECT_EQ(control->getPort(), kTunnelPort);
    EXPECT_EQ(control->getLocalPort(), settings.listenPort);
    ASSERT_TRUE(waitUntil([&] { return control->getConnectState() == XR_SOCKETTCP::kAccepting; }));

    // First client: request, OK through the manager, bytes both ways, close.
    const int first = connectClient();
    expectMessage(waitEntry(control->getToPeerQueue()), kKindControlMessage, kCodeConnectRequest,
                  kTunnelPort);
    m.notifyTcpConnectReply(kTunnelPort, 1);
    EXPECT_EQ(m.lines.back(), format("TCP接続応答(OK): ポート番号=%d", settings.listenPort));
    EXPECT_TRUE(traces.has("TCPMANAGER:notifyTcpConnectReply() port:21, repCode:1\n"));
    sendAll(first, "USER anonymous\r\n");
    auto data = waitEntry(control->getToPeerQueue());
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->header.kind, kKindControlData);
    EXPECT_EQ(data->header.port, kTunnelPort);
    EXPECT_EQ(data->payload, "USER anonymous\r\n");
    ASSERT_EQ(enqueuePacket(control->getFromPeerQueue(),
                            makePacket(kKindControlData, 0, kTunnelPort, "331 ok\r\n")),
              1);
    EXPECT_EQ(readBytes(first, 8), "331 ok\r\n");
    ::close(first);
    clients.clear();
    expectMessage(waitEntry(control->getToPeerQueue()), kKindControlMessage, kCodeDisconnectRequest,
                  kTunnelPort);
    EXPECT_TRUE(waitUntil([&] { return traces.has("PORT(21):PEERから切断されました.\n"); }));

    // Entries that reach the from-peer queue while no client is there belong
    // to the ended connection: the next client never sees them.
    ASSERT_TRUE(waitUntil([&] { return control->getConnectState() == XR_SOCKETTCP::kAccepting; }));
    ASSERT_EQ(enqueuePacket(control->getFromPeerQueue(),
                            makePacket(kKindControlData, 0, kTunnelPort, "stale")),
              1);
    const int second = connectClient();
    expectMessage(waitEntry(control->getToPeerQueue()), kKindControlMessage, kCodeConnectRequest,
                  kTunnelPort);
    EXPECT_EQ(control->getFromPeerQueue().freeCount(), XR_QUE::kCapacity);
    m.notifyTcpConnectReply(kTunnelPort, 1);
    ASSERT_EQ(enqueuePacket(control->getFromPeerQueue(),
                            makePacket(kKindControlData, 0, kTunnelPort, "fresh")),
              1);
    EXPECT_EQ(readBytes(second, 5), "fresh");
    EXPECT_EQ(m.getControlSocket(), control);  // one object for the stream's life
}

TEST_F(ManagerTest, ReplyNgThroughTheManagerClosesTheClient) {
    RecordingManager& m = makeManager(1);
    m.openServer();
    XR_SOCKETTCP* control = m.getControlSocket();
    ASSERT_NE(control, nullptr);
    const int client = connectClient();
    expectMessage(waitEntry(control->getToPeerQueue()), kKindControlMessage, kCodeConnectRequest,
                  kTunnelPort);
    m.notifyTcpConnectReply(kTunnelPort, 2);
    EXPECT_EQ(m.lines.back(), format("TCP接続応答(NG): ポート番号=%d", settings.listenPort));
    EXPECT_TRUE(seesEnd(client));
    connectClient();
    expectMessage(waitEntry(control->getToPeerQueue()), kKindControlMessage, kCodeConnectRequest,
                  kTunnelPort);
}

TEST_F(ManagerTest, CloseAllDuringTheReplyWaitEndsTheClientAndLogs) {
    RecordingManager& m = makeManager(1);
    const int baseline = openDescriptorCount();
    m.openServer();
    XR_SOCKETTCP* control = m.getControlSocket();
    ASSERT_NE(control, nullptr);
    const int client = connectClient();
    expectMessage(waitEntry(control->getToPeerQueue()), kKindControlMessage, kCodeConnectRequest,
                  kTunnelPort);
    m.closeAll();
    EXPECT_EQ(m.getControlSocket(), nullptr);
    EXPECT_TRUE(seesEnd(client));
    EXPECT_EQ(m.lines.back(), format("TCP切断: ポート番号=%d", settings.listenPort));
    EXPECT_EQ(openDescriptorCount(), baseline + 1);  // only the test's own client
    EXPECT_LT(connectTo(settings.listenPort), 0);
}

TEST_F(ManagerTest, ServerModeOpensNothingAndConnectsWhereTheSettingsSay) {
    Listener server;
    settings.connectHost = "127.0.0.1";
    settings.connectPort = server.port;
    RecordingManager& m = makeManager(0);
    EXPECT_EQ(m.getMode(), XR_TCPMANAGER::kModeServer);
    m.openServer();
    EXPECT_EQ(m.getControlSocket(), nullptr);
    EXPECT_TRUE(m.lines.empty());

    // The configured target, localhost port 21, means the settings' target.
    EXPECT_EQ(m.notifyTcpConnectRequest(kTunnelPort, "localhost"), 1);
    EXPECT_EQ(m.lines.back(), "TCP接続: localhost ポート番号=21");
    EXPECT_TRUE(traces.has("TCPMANAMGER:notifyTcpConnectRequest:port21\n"));
    EXPECT_TRUE(traces.has("port21 client sequence start\n"));
    EXPECT_TRUE(traces.has("port21_client create start\n"));
    XR_SOCKETTCP* control = m.getControlSocket();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->getPort(), kTunnelPort);
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    sendAll(peer, "220 hello\r\n");
    auto banner = waitEntry(control->getToPeerQueue());
    ASSERT_TRUE(banner.has_value());
    EXPECT_EQ(banner->header.port, kTunnelPort);  // packets keep the tunnel port
    EXPECT_EQ(banner->payload, "220 hello\r\n");
    ::close(peer);
    expectMessage(waitEntry(control->getToPeerQueue()), kKindControlMessage, kCodeDisconnectRequest,
                  kTunnelPort);

    // Any other target is taken as given, and still logged with port 21.
    Listener other;
    EXPECT_EQ(m.notifyTcpConnectRequest(other.port, "127.0.0.1"), 1);
    EXPECT_EQ(m.lines.back(), "TCP接続: 127.0.0.1 ポート番号=21");
    const int otherPeer = other.accept();
    EXPECT_GE(otherPeer, 0);
    ::close(otherPeer);
    EXPECT_EQ(m.getControlSocket(), control);
}

TEST_F(ManagerTest, AFailedConnectHandsBackTheSocketError) {
    RecordingManager& m = makeManager(0);
    const int nothing = freePort();
    errno = 0;
    EXPECT_EQ(m.notifyTcpConnectRequest(nothing, "127.0.0.1"), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(m.getLastConnectError(), ECONNREFUSED);
    EXPECT_EQ(m.lines.back(), "TCP接続失敗: 127.0.0.1 ポート番号=21");
    EXPECT_TRUE(traces.has(format("connect Error : %d\n", ECONNREFUSED)));
    errno = 0;
    EXPECT_EQ(m.notifyDataLinkConnectRequest(nothing, "127.0.0.1"), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(m.lines.back(), format("TCP接続失敗: %s ポート番号=%d", "127.0.0.1", nothing));
}

TEST_F(ManagerTest, WhatWritesNoLine) {
    struct Row {
        const char* what;
        std::function<void(RecordingManager&)> call;
    };
    const Row rows[] = {
        {"closeAll without sockets", [](RecordingManager& m) { m.closeAll(); }},
        {"disconnect without a control socket",
         [](RecordingManager& m) { m.notifyTcpDisconnect(kTunnelPort); }},
        {"reply without a control socket",
         [](RecordingManager& m) { m.notifyTcpConnectReply(kTunnelPort, 1); }},
        {"data-link disconnect without a socket",
         [](RecordingManager& m) { m.notifyDataLinkDisconnect(40000); }},
        {"data-link reply without a socket",
         [](RecordingManager& m) { m.notifyDataLinkConnectReply(40000, 1); }},
    };
    for (const Row& row : rows) {
        RecordingManager& m = makeManager(0);
        row.call(m);
        EXPECT_TRUE(m.lines.empty()) << row.what;
        EXPECT_EQ(m.getControlSocket(), nullptr) << row.what;
        EXPECT_EQ(m.getDataLinkSocket(), nullptr) << row.what;
    }
}

TEST_F(ManagerTest, AnAnswerThatIsNeitherOkNorNgChangesNothing) {
    RecordingManager& m = makeManager(1);
    m.openServer();
    XR_SOCKETTCP* control = m.getControlSocket();
    ASSERT_NE(control, nullptr);
    const size_t linesBefore = m.lines.size();
    for (int code : {0, 3, -1}) {
        m.notifyTcpConnectReply(kTunnelPort, code);
        EXPECT_EQ(control->getReplyState(), XR_SOCKETTCP::kReplyWaiting) << "code " << code;
        EXPECT_EQ(m.lines.size(), linesBefore) << "code " << code;
    }
}

TEST_F(ManagerTest, ADataLinkListenerServesOneConnection) {
    RecordingManager& m = makeManager(1);
    constexpr int kDataPort = 40000;
    const int local = m.openDataLinkServer(kDataPort, htonl(INADDR_LOOPBACK));
    ASSERT_GT(local, 0);
    EXPECT_NE(local, kDataPort);
    XR_SOCKETTCP* link = m.getDataLinkSocket();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->isControl(), 0);
    EXPECT_EQ(link->getLocalPort(), local);
    EXPECT_EQ(m.lines.back(), format("データリンク待受作成: ポート番号=%d ", local));

    const int client = connectTo(local);
    ASSERT_GE(client, 0);
    clients.push_back(client);
    expectMessage(waitEntry(link->getToPeerQueue()), kKindDataLinkMessage, kCodeConnectRequest,
                  kDataPort);
    m.notifyDataLinkConnectReply(kDataPort, 1);
    EXPECT_EQ(m.lines.back(), format("TCP接続応答(OK): ポート番号=%d", local));
    sendAll(client, "upload bytes");
    EXPECT_EQ(collectData(link->getToPeerQueue(), kKindDataLinkData, 12), "upload bytes");
    ASSERT_EQ(enqueuePacket(link->getFromPeerQueue(),
                            makePacket(kKindDataLinkData, 0, kDataPort, "listing")),
              1);
    EXPECT_EQ(readBytes(client, 7), "listing");
    ::shutdown(client, SHUT_WR);
    expectMessage(waitEntry(link->getToPeerQueue()), kKindDataLinkMessage, kCodeDisconnectRequest,
                  kDataPort);
    ASSERT_TRUE(waitUntil([&] { return link->isRunning() == 0; }));
    EXPECT_TRUE(waitUntil([&] { return traces.has("Server Thread end:port:40000\n"); }));
    EXPECT_TRUE(seesEnd(client));

    // The next data connection sets the same object up again.
    const int next = m.openDataLinkServer(40002, htonl(INADDR_LOOPBACK));
    ASSERT_GT(next, 0);
    EXPECT_EQ(m.getDataLinkSocket(), link);
    const int client2 = connectTo(next);
    ASSERT_GE(client2, 0);
    clients.push_back(client2);
    expectMessage(waitEntry(link->getToPeerQueue()), kKindDataLinkMessage, kCodeConnectRequest,
                  40002);
}

TEST_F(ManagerTest, SettingUpTheDataLinkAgainWhileItServesEndsTheOldConnection) {
    RecordingManager& m = makeManager(1);
    const int local = m.openDataLinkServer(40000, htonl(INADDR_LOOPBACK));
    ASSERT_GT(local, 0);
    XR_SOCKETTCP* link = m.getDataLinkSocket();
    const int client = connectTo(local);
    clients.push_back(client);
    expectMessage(waitEntry(link->getToPeerQueue()), kKindDataLinkMessage, kCodeConnectRequest,
                  40000);
    m.notifyDataLinkConnectReply(40000, 1);
    ASSERT_TRUE(
        waitUntil([&] { return traces.has("thread:Server port=40000 start tcp rcv-send\n"); }));

    const int next = m.openDataLinkServer(40001, htonl(INADDR_LOOPBACK));
    ASSERT_GT(next, 0);
    EXPECT_TRUE(seesEnd(client));
    EXPECT_LT(connectTo(local), 0);
    EXPECT_EQ(link->isRunning(), 1);  // the new worker, accepting
    const int client2 = connectTo(next);
    clients.push_back(client2);
    expectMessage(waitEntry(link->getToPeerQueue()), kKindDataLinkMessage, kCodeConnectRequest,
                  40001);
}

TEST_F(ManagerTest, DataLinkConnectRequestUsesTheSettingsHost) {
    Listener server;
    settings.connectHost = "127.0.0.1";
    RecordingManager& m = makeManager(0);
    // Only the host of the configured target is replaced; the data port is
    // the one the peer announced.
    EXPECT_EQ(m.notifyDataLinkConnectRequest(server.port, "localhost"), 1);
    EXPECT_EQ(m.lines.back(),
              format("TCP接続(datalink): %s ポート番号=%d", "localhost", server.port));
    XR_SOCKETTCP* link = m.getDataLinkSocket();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->isControl(), 0);
    EXPECT_EQ(link->getPort(), server.port);
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    sendAll(peer, "file");
    EXPECT_EQ(collectData(link->getToPeerQueue(), kKindDataLinkData, 4), "file");
    m.notifyDataLinkDisconnect(server.port);
    EXPECT_EQ(m.lines.back(), format("TCP切断: ポート番号=%d", server.port));
    EXPECT_TRUE(seesEnd(peer));
    ::close(peer);
}

TEST_F(ManagerTest, PeerDisconnectClosesTheControlListenerForGood) {
    RecordingManager& m = makeManager(1);
    m.openServer();
    ASSERT_NE(m.getControlSocket(), nullptr);
    m.notifyTcpDisconnect(kTunnelPort);
    EXPECT_EQ(m.lines.back(), "TCP切断: ポート番号=21");
    EXPECT_NE(m.getControlSocket(), nullptr);  // kept for reuse
    EXPECT_LT(connectTo(settings.listenPort), 0);
}

TEST_F(ManagerTest, ALongEventLineIsCutOnACharacterBoundary) {
    RecordingManager& m = makeManager(0);
    std::string host;
    for (int i = 0; i < 60; ++i) {
        host += "あ";  // three bytes each
    }
    EXPECT_EQ(m.notifyTcpConnectRequest(kTunnelPort, host.c_str()), 0);
    const std::string full = format("TCP接続失敗: %s ポート番号=%d", host.c_str(), kTunnelPort);
    const std::string& line = m.lines.back();
    EXPECT_LE(line.size(), 99u);
    EXPECT_GE(line.size(), 97u);
    EXPECT_EQ(full.compare(0, line.size(), line), 0);
    // The cut falls before a character's first byte.
    EXPECT_NE(static_cast<unsigned char>(full[line.size()]) & 0xc0, 0x80);
}

TEST_F(ManagerTest, CloseAllClosesBothSocketsWithALineEach) {
    Listener server;
    RecordingManager& m = makeManager(1);
    const int baseline = openDescriptorCount();
    m.openServer();
    const int local = m.openDataLinkServer(40000, htonl(INADDR_LOOPBACK));
    ASSERT_GT(local, 0);
    m.lines.clear();
    m.closeAll();
    EXPECT_EQ(m.lines,
              (std::vector<std::string>{format("TCP切断: ポート番号=%d", settings.listenPort),
                                        format("TCP切断: ポート番号=%d", local)}));
    EXPECT_EQ(m.getControlSocket(), nullptr);
    EXPECT_EQ(m.getDataLinkSocket(), nullptr);
    EXPECT_EQ(openDescriptorCount(), baseline);
}

TEST_F(ManagerTest, FiftyServerSideConnectionsLeaveNoDescriptorBehind) {
    Listener server;
    settings.connectHost = "127.0.0.1";
    settings.connectPort = server.port;
    RecordingManager& m = makeManager(0);
    const int baseline = openDescriptorCount();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(m.notifyTcpConnectRequest(kTunnelPort, "localhost"), 1) << "connection " << i;
        const int peer = server.accept();
        ASSERT_GE(peer, 0) << "connection " << i;
        XR_SOCKETTCP* control = m.getControlSocket();
        sendAll(peer, "220\r\n");
        ASSERT_EQ(collectData(control->getToPeerQueue(), kKindControlData, 5), "220\r\n");
        if (i % 2 == 0) {
            // The peer's end arrives through the queue.
            ASSERT_EQ(
                enqueuePacket(control->getFromPeerQueue(),
                              makePacket(kKindControlMessage, kCodeDisconnectRequest, kTunnelPort)),
                1);
            EXPECT_TRUE(seesEnd(peer)) << "connection " << i;
        }
        ::close(peer);
        // Odd rounds: the next connect request sets the socket up again while
        // its worker may still run.
    }
    m.closeAll();
    EXPECT_EQ(openDescriptorCount(), baseline);
}

}  // namespace
