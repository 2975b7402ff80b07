#include "tcp/XR_SOCKETTCP.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "TcpTestSupport.h"
#include "platform/ProcessFlags.h"

namespace {

using namespace tcptest;

constexpr int kTunnelPort = 21;

std::string lineFor(const char* format, int value) {
    char text[256];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A socket under test, declared after the trace capture so that it (and its
// worker) is gone before the capture is.
class SocketTest : public ::testing::Test {
protected:
    TraceCapture traces;
    XR_SOCKETTCP socket;
};

// A control listener on a free port whose worker runs, and a way to take the
// next client up to its confirmed relay.
class ListenerTest : public SocketTest {
protected:
    void SetUp() override {
        listenPort = freePort();
        ASSERT_EQ(socket.createServerSocket(kTunnelPort, listenPort), 1);
        socket.startThread();
        ASSERT_EQ(socket.isRunning(), 1);
        ASSERT_TRUE(
            waitUntil([&] { return socket.getConnectState() == XR_SOCKETTCP::kAccepting; }));
    }
    void TearDown() override {
        socket.close();
        for (int fd : clients) {
            ::close(fd);
        }
    }
    // Connects a client and waits for its CONNECT-REQUEST.
    int connectAndExpectRequest() {
        const int fd = connectTo(listenPort);
        EXPECT_GE(fd, 0);
        clients.push_back(fd);
        auto request = waitEntry(socket.getToPeerQueue());
        EXPECT_TRUE(request.has_value());
        if (request) {
            EXPECT_EQ(request->header.kind, kKindControlMessage);
            EXPECT_EQ(request->header.code, kCodeConnectRequest);
            EXPECT_EQ(request->header.port, kTunnelPort);
            EXPECT_EQ(request->header.dataLength, 0);
        }
        return fd;
    }
    void waitRelaying() {
        ASSERT_TRUE(waitUntil([&] {
            return traces.has(lineFor("thread:Server port=%d start tcp rcv-send\n", kTunnelPort));
        }));
    }
    int listenPort = 0;
    std::vector<int> clients;
};

TEST_F(SocketTest, ReceiveDataReportsNothingWaitingDataAndTheEnd) {
    Listener server;
    ASSERT_EQ(socket.createClientSocket(kTunnelPort, "127.0.0.1", server.port), 1);
    ASSERT_EQ(socket.connectClient(), 1);
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    socket.setNonBlocking();

    socket.recvLength = XR_SOCKETTCP::kTcpReadBytes;
    EXPECT_EQ(socket.receiveData(), 1);
    EXPECT_EQ(socket.recvLength, -1);

    sendAll(peer, "abc");
    ASSERT_TRUE(waitUntil([&] {
        socket.recvLength = XR_SOCKETTCP::kTcpReadBytes;
        return socket.receiveData() == 1 && socket.recvLength != -1;
    }));
    EXPECT_EQ(socket.recvLength, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(socket.recvBuffer), 3), "abc");

    ::close(peer);
    int result = 1;
    ASSERT_TRUE(waitUntil([&] {
        socket.recvLength = XR_SOCKETTCP::kTcpReadBytes;
        result = socket.receiveData();
        return result == 0;
    }));
    EXPECT_EQ(socket.recvLength, 0);
    EXPECT_TRUE(traces.has("Thread:recv Error : 0x0,n=0\n"));
}

TEST_F(SocketTest, SendDataWritesEverythingAndReportsABrokenConnection) {
    Listener server;
    ASSERT_EQ(socket.createClientSocket(kTunnelPort, "127.0.0.1", server.port), 1);
    ASSERT_EQ(socket.connectClient(), 1);
    const int peer = server.accept();
    ASSERT_GE(peer, 0);

    socket.sendLength = 0;
    EXPECT_EQ(socket.sendData(), 1);
    std::string pattern;
    for (int i = 0; i < 20000; ++i) {
        pattern += static_cast<char>(i * 7);
    }
    std::memcpy(socket.sendBuffer, pattern.data(), pattern.size());
    socket.sendLength = static_cast<int>(pattern.size());
    EXPECT_EQ(socket.sendData(), 1);
    EXPECT_EQ(readBytes(peer, pattern.size()), pattern);

    ::close(peer);
    socket.sendLength = 100;
    ASSERT_TRUE(waitUntil([&] { return socket.sendData() == 0; }));
    const int error = socket.getLastError();
    EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << "error " << error;
    EXPECT_TRUE(traces.has(lineFor("Thread:send Error : %d\n", error)));
}

TEST_F(SocketTest, SendGivesUpAfterTwentyWouldBlocks) {
    constexpr int kTinyReceiveBuffer = 4096;
    Listener server(kTinyReceiveBuffer);
    ASSERT_EQ(socket.createClientSocket(kTunnelPort, "127.0.0.1", server.port), 1);
    ASSERT_EQ(socket.connectClient(), 1);
    const int peer = server.accept();  // never read
    ASSERT_GE(peer, 0);
    socket.setNonBlocking();
    socket.sendLength = 30000;
    std::chrono::milliseconds lastCall{0};
    int result = 1;
    for (int call = 0; call < 1000 && result == 1; ++call) {
        const auto start = std::chrono::steady_clock::now();
        result = socket.sendData();
        lastCall = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    }
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(traces.has("Thread:send Error Send WaitCount OVER : 10035\n"));
    EXPECT_EQ(socket.getLastError(), 10035);
    // Nineteen pauses of 100 ms.
    EXPECT_GE(lastCall.count(), 1850);
    EXPECT_LT(lastCall.count(), 4000);
    ::close(peer);
}

TEST(SocketClient, SetUpAndConnectTable) {
    Listener server;
    const int refusedPort = freePort();
    struct Row {
        const char* host;
        int connectPort;  // 0: the test listener
        int setUpTrace;   // the "client socket created" trace expected
        int connects;
        int error;  // expected error when it does not connect
    };
    const Row rows[] = {
        {"127.0.0.1", 0, 1, 1, 0},
        {"localhost", 0, 1, 1, 0},  // looked up for IPv4
        {"127.0.0.1", refusedPort, 1, 0, ECONNREFUSED},
        {"no-such-host.invalid", 0, 0, 0, EADDRNOTAVAIL},
    };
    for (const Row& row : rows) {
        TraceCapture traces;
        XR_SOCKETTCP socket;
        const int port = row.connectPort != 0 ? row.connectPort : server.port;
        EXPECT_EQ(socket.createClientSocket(kTunnelPort, row.host, port), 1) << row.host;
        EXPECT_EQ(traces.has(lineFor("クライアントソケットを作成しました. port:%d\n", kTunnelPort)),
                  row.setUpTrace == 1)
            << row.host;
        EXPECT_EQ(socket.getRole(),
                  row.setUpTrace == 1 ? XR_SOCKETTCP::kRoleClient : XR_SOCKETTCP::kRoleNone)
            << row.host;
        errno = 0;
        EXPECT_EQ(socket.connectClient(), row.connects) << row.host << " port " << port;
        if (row.connects == 1) {
            EXPECT_TRUE(traces.has(lineFor("connctしました. port:%d\n", kTunnelPort)));
            EXPECT_EQ(socket.getConnectState(), XR_SOCKETTCP::kConnected);
            EXPECT_EQ(socket.getConnectionLocalAddress(), htonl(INADDR_LOOPBACK)) << row.host;
            const int peer = server.accept();
            EXPECT_GE(peer, 0) << row.host;
            ::close(peer);
        } else {
            EXPECT_EQ(socket.getLastError(), row.error) << row.host;
            EXPECT_EQ(errno, row.error) << row.host;
            EXPECT_TRUE(traces.has(lineFor("connect Error : %d\n", row.error))) << row.host;
            EXPECT_EQ(socket.getConnectionLocalAddress(), 0u) << row.host;
        }
    }
}

TEST(SocketListen, LocalOnlyDecidesTheInterfacesOfTheControlListener) {
    const uint32_t outside = XR_SOCKETTCP::getLocalAddress();
    if (outside == 0 || outside == htonl(INADDR_LOOPBACK)) {
        GTEST_SKIP() << "no address besides loopback on this machine";
    }
    TraceCapture traces;
    struct Row {
        bool localOnly;
        bool viaOutside;
    };
    const Row rows[] = {{true, false}, {false, true}};
    for (const Row& row : rows) {
        platform::setLocalOnly(row.localOnly);
        XR_SOCKETTCP socket;
        const int port = freePort();
        ASSERT_EQ(socket.createServerSocket(port), 1);
        EXPECT_EQ(socket.getLocalPort(), port);
        const int a = connectTo(port);
        EXPECT_GE(a, 0) << "loopback, localOnly " << row.localOnly;
        const int b = connectTo(port, outside);
        EXPECT_EQ(b >= 0, row.viaOutside) << "outside address, localOnly " << row.localOnly;
        ::close(a);
        if (b >= 0) {
            ::close(b);
        }
        socket.close();
    }
    platform::setLocalOnly(true);
}

TEST(SocketListen, AnyPortListenerTable) {
    const uint32_t outside = XR_SOCKETTCP::getLocalAddress();
    const bool haveOutside = outside != 0 && outside != htonl(INADDR_LOOPBACK);
    struct Row {
        uint32_t bindAddress;
        bool localOnly;
        bool viaOutside;
    };
    const Row rows[] = {
        {INADDR_ANY, true, true},  // every interface whatever localOnly says
        {INADDR_ANY, false, true},
        {htonl(INADDR_LOOPBACK), false, false},  // only the given address
    };
    for (const Row& row : rows) {
        TraceCapture traces;
        platform::setLocalOnly(row.localOnly);
        XR_SOCKETTCP socket;
        constexpr int kDataPort = 40001;
        ASSERT_EQ(socket.createServerSocketAnyPort(kDataPort, row.bindAddress), 1);
        const int local = socket.getLocalPort();
        EXPECT_GT(local, 0);
        EXPECT_NE(local, kDataPort);
        EXPECT_EQ(socket.getPort(), kDataPort);
        EXPECT_TRUE(traces.has(lineFor("** sin.sin_port=%d\n", local)));
        EXPECT_TRUE(traces.has(lineFor("サーバソケットを作成しました. port:%d\n", kDataPort)));
        const int a = connectTo(local);
        EXPECT_GE(a, 0);
        ::close(a);
        if (haveOutside) {
            const int b = connectTo(local, outside);
            EXPECT_EQ(b >= 0, row.viaOutside) << "bind " << row.bindAddress;
            if (b >= 0) {
                ::close(b);
            }
        }
        socket.close();
    }
    platform::setLocalOnly(true);
}

TEST(SocketListen, ListenFailureIsTracedAndLeavesNoDescriptor) {
    TraceCapture traces;
    Listener taken;
    // A second listener on a port already listened on cannot bind.
    const int before = openDescriptorCount();
    XR_SOCKETTCP socket;
    EXPECT_EQ(socket.createServerSocket(taken.port), 0);
    EXPECT_TRUE(traces.has(lineFor("bind Error: %d\n", EADDRINUSE)));
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(SocketAddress, LocalAddressIsOneOfThisMachine) {
    const uint32_t address = XR_SOCKETTCP::getLocalAddress();
    if (address == 0) {
        GTEST_SKIP() << "no route leads outside";
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::close(fd);
}

TEST_F(SocketTest, CloseWithoutAWorkerReturnsAtOnceAndFreesThePort) {
    const int port = freePort();
    ASSERT_EQ(socket.createServerSocket(port), 1);
    const auto start = std::chrono::steady_clock::now();
    socket.close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_TRUE(traces.has("スレッド終了を指示\n"));
    EXPECT_TRUE(traces.has("スレッド終了を検知しました\n"));
    EXPECT_LT(connectTo(port), 0);
    // The same object listens again.
    ASSERT_EQ(socket.createServerSocket(port), 1);
    const int fd = connectTo(port);
    EXPECT_GE(fd, 0);
    ::close(fd);
}

TEST_F(SocketTest, AWorkerWithoutARoleEndsAtOnce) {
    socket.startThread();
    ASSERT_TRUE(waitUntil([&] { return traces.has("スレッド終了 port=0\n"); }));
    const std::vector<std::string> expected = {
        "スレッドを作成しました\n", "スレッド開始 port=0\n",
        "スレッド起動失敗：サーバ・クライアント種別が設定されていません\n",
        "スレッド終了 port=0\n"};
    for (const auto& line : expected) {
        EXPECT_TRUE(traces.has(line)) << line;
    }
    EXPECT_EQ(socket.isRunning(), 0);
}

TEST_F(ListenerTest, ReplyNgClosesTheClientAndAcceptsAgain) {
    const int first = connectAndExpectRequest();
    socket.setReplyNg();
    EXPECT_TRUE(seesEnd(first));
    EXPECT_TRUE(traces.has(lineFor("Thread:CONNECT_NG detect:port:%d\n", kTunnelPort)));
    ASSERT_TRUE(waitUntil([&] { return socket.getConnectState() == XR_SOCKETTCP::kAccepting; }));
    connectAndExpectRequest();
    EXPECT_EQ(socket.getReplyState(), XR_SOCKETTCP::kReplyWaiting);
}

TEST_F(ListenerTest, ADisconnectBehindDataIsActedOnAfterTheData) {
    const int client = connectAndExpectRequest();
    socket.setReplyOk();
    waitRelaying();
    XR_QUE& fromPeer = socket.getFromPeerQueue();
    const std::string parts[] = {"220 one\r\n", std::string(10000, 'x'), "221 bye\r\n"};
    std::string all;
    for (const auto& part : parts) {
        ASSERT_EQ(enqueuePacket(fromPeer, makePacket(kKindControlData, 0, kTunnelPort, part)), 1);
        all += part;
    }
    ASSERT_EQ(enqueuePacket(fromPeer,
                            makePacket(kKindControlMessage, kCodeDisconnectRequest, kTunnelPort)),
              1);
    EXPECT_EQ(readBytes(client, all.size()), all);
    EXPECT_TRUE(seesEnd(client));
    // A disconnect from the peer is not echoed back, and the listener goes on.
    ASSERT_TRUE(waitUntil([&] { return socket.getConnectState() == XR_SOCKETTCP::kAccepting; }));
    EXPECT_FALSE(takeEntry(socket.getToPeerQueue()).has_value());
    EXPECT_EQ(socket.isRunning(), 1);
}

TEST_F(ListenerTest, AnEndBehindAFullQueueWaitsUntilEveryEntryIsWritten) {
    const int client = connectAndExpectRequest();
    socket.setReplyOk();
    waitRelaying();
    XR_QUE& fromPeer = socket.getFromPeerQueue();
    std::string all;
    for (int i = 0; fromPeer.canEnqueue() != 0; ++i) {
        const std::string part(1000, static_cast<char>('a' + i % 26));
        ASSERT_EQ(enqueuePacket(fromPeer, makePacket(kKindControlData, 0, kTunnelPort, part)), 1);
        all += part;
    }
    EXPECT_EQ(socket.disconnectWhenDrained(), 1);
    EXPECT_EQ(readBytes(client, all.size()), all);
    EXPECT_TRUE(seesEnd(client));
    ASSERT_TRUE(waitUntil([&] { return socket.getConnectState() == XR_SOCKETTCP::kAccepting; }));
    EXPECT_FALSE(takeEntry(socket.getToPeerQueue()).has_value());  // not echoed
    // The next client is not ended by it.
    const int next = connectAndExpectRequest();
    socket.setReplyOk();
    sendAll(next, "STAT\r\n");
    EXPECT_EQ(collectData(socket.getToPeerQueue(), kKindControlData, 6), "STAT\r\n");
}

TEST_F(SocketTest, DisconnectWhenDrainedNeedsARunningWorker) {
    EXPECT_EQ(socket.disconnectWhenDrained(), 0);
}

TEST_F(ListenerTest, AFullToPeerQueueHoldsTcpReadsButNotWrites) {
    const int client = connectAndExpectRequest();
    // The worker waits for the answer and produces nothing meanwhile, so the
    // test can fill its to-peer queue in its place.
    XR_QUE& toPeer = socket.getToPeerQueue();
    while (toPeer.canEnqueue() != 0) {
        ASSERT_EQ(enqueuePacket(toPeer, makePacket(kKindNull, 0, 0)), 1);
    }
    sendAll(client, "LIST\r\n");
    socket.setReplyOk();
    waitRelaying();
    const std::string full = lineFor("PORT%d A2ASEND QUE FULL\n", kTunnelPort);
    ASSERT_TRUE(waitUntil([&] { return traces.count(full) >= 3; }));
    ASSERT_EQ(enqueuePacket(socket.getFromPeerQueue(),
                            makePacket(kKindControlData, 0, kTunnelPort, "150 here\r\n")),
              1);
    EXPECT_EQ(readBytes(client, 10), "150 here\r\n");
    EXPECT_EQ(toPeer.freeCount(), 0);
    // Room again: the waiting bytes are read.
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(takeEntry(toPeer).has_value());
    }
    EXPECT_EQ(collectData(toPeer, kKindControlData, 6), "LIST\r\n");
}

TEST_F(ListenerTest, AStopDuringTheReplyWaitClosesTheClientWithANotice) {
    const int client = connectAndExpectRequest();
    ASSERT_TRUE(waitUntil([&] { return traces.has("WaitConnectPeer"); }));
    socket.close();
    EXPECT_TRUE(seesEnd(client));
    EXPECT_EQ(socket.isRunning(), 0);
    auto notice = takeEntry(socket.getToPeerQueue());
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->header.kind, kKindControlMessage);
    EXPECT_EQ(notice->header.code, kCodeDisconnectRequest);
    EXPECT_EQ(notice->header.port, kTunnelPort);
    EXPECT_TRUE(traces.has(lineFor("Server Thread end:port:%d\n", kTunnelPort)));
    EXPECT_EQ(socket.getConnectState(), XR_SOCKETTCP::kIdle);
    EXPECT_LT(connectTo(listenPort), 0);  // the listener is closed too
}

TEST_F(ListenerTest, UrgentBytesAreRelayedInTheStream) {
    // An FTP client's ABOR goes out as urgent data; no byte of it may go missing.
    const int client = connectAndExpectRequest();
    socket.setReplyOk();
    waitRelaying();
    ASSERT_EQ(::send(client, "ABOR\r\n", 6, MSG_OOB), 6);
    EXPECT_EQ(collectData(socket.getToPeerQueue(), kKindControlData, 6), "ABOR\r\n");
}

TEST_F(SocketTest, UrgentBytesFromTheServerAreRelayedToo) {
    Listener server;
    ASSERT_EQ(socket.createClientSocket(kTunnelPort, "127.0.0.1", server.port), 1);
    ASSERT_EQ(socket.connectClient(), 1);
    socket.startThread();
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    ASSERT_EQ(::send(peer, "426 x\r\n", 7, MSG_OOB), 7);
    EXPECT_EQ(collectData(socket.getToPeerQueue(), kKindControlData, 7), "426 x\r\n");
    ::close(peer);
}

TEST_F(ListenerTest, AbortConnectionEndsTheClientLikeATcpClose) {
    const int client = connectAndExpectRequest();
    socket.setReplyOk();
    waitRelaying();
    EXPECT_EQ(socket.abortConnection(), 1);
    EXPECT_TRUE(seesEnd(client));
    auto notice = waitEntry(socket.getToPeerQueue());
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->header.code, kCodeDisconnectRequest);
    ASSERT_TRUE(waitUntil([&] { return socket.getConnectState() == XR_SOCKETTCP::kAccepting; }));
    EXPECT_EQ(socket.abortConnection(), 0);
    connectAndExpectRequest();
}

TEST_F(ListenerTest, FiftyConnectionsLeaveNoDescriptorBehind) {
    const int baseline = openDescriptorCount();
    for (int i = 0; i < 50; ++i) {
        const int client = connectAndExpectRequest();
        socket.setReplyOk();
        sendAll(client, "NOOP\r\n");
        ASSERT_EQ(collectData(socket.getToPeerQueue(), kKindControlData, 6), "NOOP\r\n")
            << "connection " << i;
        ::close(client);
        clients.pop_back();
        auto notice = waitEntry(socket.getToPeerQueue());
        ASSERT_TRUE(notice.has_value()) << "connection " << i;
        ASSERT_EQ(notice->header.code, kCodeDisconnectRequest) << "connection " << i;
        ASSERT_TRUE(waitUntil([&] { return socket.getConnectState() == XR_SOCKETTCP::kAccepting; }))
            << "connection " << i;
        ASSERT_EQ(openDescriptorCount(), baseline) << "after connection " << i;
    }
    socket.close();
    EXPECT_EQ(openDescriptorCount(), baseline - 1);  // the listener
}

TEST_F(ListenerTest, SettingUpAgainStopsTheRunningWorkerFirst) {
    const int client = connectAndExpectRequest();
    socket.setReplyOk();
    waitRelaying();
    const int otherPort = freePort();
    ASSERT_EQ(socket.createServerSocket(kTunnelPort, otherPort), 1);
    EXPECT_EQ(socket.isRunning(), 0);
    EXPECT_TRUE(seesEnd(client));
    EXPECT_LT(connectTo(listenPort), 0);
    // The ended connection was announced to the peer.
    auto notice = takeEntry(socket.getToPeerQueue());
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->header.code, kCodeDisconnectRequest);
    listenPort = otherPort;
    socket.startThread();
    ASSERT_EQ(socket.isRunning(), 1);
    connectAndExpectRequest();
}

// A client-role worker, for a control socket and for a data-link socket.
TEST(SocketClientWorker, RelaysOneConnectionAndEndsWithANotice) {
    struct Row {
        int control;
        uint16_t dataKind;
        uint16_t messageKind;
    };
    const Row rows[] = {{1, kKindControlData, kKindControlMessage},
                        {0, kKindDataLinkData, kKindDataLinkMessage}};
    for (const Row& row : rows) {
        TraceCapture traces;
        Listener server;
        XR_SOCKETTCP socket;
        socket.setControl(row.control);
        constexpr int kPort = 2020;
        ASSERT_EQ(socket.createClientSocket(kPort, "127.0.0.1", server.port), 1);
        ASSERT_EQ(socket.connectClient(), 1);
        socket.startThread();
        const int peer = server.accept();
        ASSERT_GE(peer, 0);
        sendAll(peer, "220 ready\r\n");
        auto data = waitEntry(socket.getToPeerQueue());
        ASSERT_TRUE(data.has_value()) << "control " << row.control;
        EXPECT_EQ(data->header.kind, row.dataKind);
        EXPECT_EQ(data->header.port, kPort);
        EXPECT_EQ(data->payload, "220 ready\r\n");
        ASSERT_EQ(enqueuePacket(socket.getFromPeerQueue(),
                                makePacket(row.dataKind, 0, kPort, "USER x\r\n")),
                  1);
        EXPECT_EQ(readBytes(peer, 8), "USER x\r\n");
        ::close(peer);
        auto notice = waitEntry(socket.getToPeerQueue());
        ASSERT_TRUE(notice.has_value()) << "control " << row.control;
        EXPECT_EQ(notice->header.kind, row.messageKind);
        EXPECT_EQ(notice->header.code, kCodeDisconnectRequest);
        EXPECT_EQ(notice->header.port, kPort);
        ASSERT_TRUE(waitUntil([&] { return socket.isRunning() == 0; }));
        EXPECT_TRUE(
            waitUntil([&] { return traces.has(lineFor("Client Thread:end :port:%d\n", kPort)); }));
        EXPECT_EQ(socket.getConnectState(), XR_SOCKETTCP::kIdle);
        socket.close();
    }
}

// A relay with nothing to do stops stepping after a second and sleeps; each
// cause to step wakes it at once (well before the sleep's one-second limit):
// bytes from the peer, bytes from TCP, the end once drained, a stop.
TEST(SocketClientWorker, AnIdleRelaySleepsAndWakesForEachKindOfWork) {
    TraceCapture traces;
    Listener server;
    XR_SOCKETTCP socket;
    socket.setControl(1);
    constexpr int kPort = 2121;
    ASSERT_EQ(socket.createClientSocket(kPort, "127.0.0.1", server.port), 1);
    ASSERT_EQ(socket.connectClient(), 1);
    socket.startThread();
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    using Clock = std::chrono::steady_clock;
    // Twice the idle time before a sleep: half of each such wait is asleep.
    const auto idle = std::chrono::milliseconds(
        2 * XR_SOCKETTCP::kIdleStepsBeforeWait * XR_SOCKETTCP::kRelayPauseMs);
    const auto began = Clock::now();
    const auto prompt = std::chrono::milliseconds(XR_SOCKETTCP::kIdleWaitLimitMs / 2);

    std::this_thread::sleep_for(idle);
    auto start = Clock::now();
    ASSERT_EQ(enqueuePacket(socket.getFromPeerQueue(),
                            makePacket(kKindControlData, 0, kPort, "USER x\r\n")),
              1);
    EXPECT_EQ(readBytes(peer, 8), "USER x\r\n");
    EXPECT_LT(Clock::now() - start, prompt) << "an entry from the peer";

    std::this_thread::sleep_for(idle);
    start = Clock::now();
    sendAll(peer, "331 go on\r\n");
    EXPECT_EQ(collectData(socket.getToPeerQueue(), kKindControlData, 11), "331 go on\r\n");
    EXPECT_LT(Clock::now() - start, prompt) << "bytes from TCP";

    std::this_thread::sleep_for(idle);
    start = Clock::now();
    EXPECT_EQ(socket.disconnectWhenDrained(), 1);
    EXPECT_TRUE(seesEnd(peer));
    EXPECT_LT(Clock::now() - start, prompt) << "the end once drained";
    ASSERT_TRUE(waitUntil([&] { return socket.isRunning() == 0; }));
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();

    // The worker has ended: its counters can be read. It slept each time,
    // and ran far fewer steps than one per pause (it sleeps about half of
    // the time here; two thirds leaves room for a slow machine).
    const XR_SOCKETTCP::RelayCounters& counters = socket.getRelayCounters();
    EXPECT_GE(counters.idleWaits, 3u);
    EXPECT_LT(counters.steps * XR_SOCKETTCP::kRelayPauseMs, static_cast<uint64_t>(elapsedMs) * 2 / 3)
        << "over " << elapsedMs << " ms";
    EXPECT_EQ(counters.writes, 1u);
    EXPECT_EQ(counters.reads, 1u);
    ::close(peer);
    socket.close();
}

// A stop finds an idle relay asleep and ends it at once.
TEST(SocketClientWorker, CloseEndsASleepingRelayAtOnce) {
    TraceCapture traces;
    Listener server;
    XR_SOCKETTCP socket;
    constexpr int kPort = 2122;
    ASSERT_EQ(socket.createClientSocket(kPort, "127.0.0.1", server.port), 1);
    ASSERT_EQ(socket.connectClient(), 1);
    socket.startThread();
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(
        XR_SOCKETTCP::kIdleStepsBeforeWait * XR_SOCKETTCP::kRelayPauseMs + 500));
    const auto start = std::chrono::steady_clock::now();
    socket.close();
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(XR_SOCKETTCP::kIdleWaitLimitMs / 2));
    EXPECT_EQ(socket.isRunning(), 0);
    EXPECT_GE(socket.getRelayCounters().idleWaits, 1u);
    ::close(peer);
}

TEST(SocketClientWorker, FiftyConnectionsOnOneObjectLeaveNoDescriptorBehind) {
    TraceCapture traces;
    Listener server;
    XR_SOCKETTCP socket;
    const int baseline = openDescriptorCount();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(socket.createClientSocket(kTunnelPort, "127.0.0.1", server.port), 1);
        ASSERT_EQ(socket.connectClient(), 1) << "connection " << i;
        socket.startThread();
        const int peer = server.accept();
        ASSERT_GE(peer, 0);
        if (i % 2 == 0) {
            ::close(peer);  // the server ends it
            ASSERT_TRUE(waitUntil([&] { return socket.isRunning() == 0; })) << "connection " << i;
        } else {
            ::close(peer);  // or the next set-up ends it while the worker may still run
        }
    }
    socket.close();
    EXPECT_EQ(openDescriptorCount(), baseline);
}

TEST(SocketThreads, EachWorkerServesItsOwnSocket) {
    TraceCapture traces;
    constexpr int kSockets = 10;
    std::vector<std::unique_ptr<XR_SOCKETTCP>> sockets;
    for (int i = 0; i < kSockets; ++i) {
        sockets.push_back(std::make_unique<XR_SOCKETTCP>());
        sockets.back()->setControl(0);
        ASSERT_EQ(sockets.back()->createServerSocketAnyPort(30000 + i, htonl(INADDR_LOOPBACK)), 1);
        sockets.back()->startThread();
    }
    std::vector<int> clients;
    for (int i = kSockets - 1; i >= 0; --i) {
        clients.push_back(connectTo(sockets[i]->getLocalPort()));
        auto request = waitEntry(sockets[i]->getToPeerQueue());
        ASSERT_TRUE(request.has_value()) << "socket " << i;
        EXPECT_EQ(request->header.port, 30000 + i);
        EXPECT_EQ(request->header.kind, kKindDataLinkMessage);
    }
    for (auto& s : sockets) {
        s->close();
        EXPECT_EQ(s->isRunning(), 0);
    }
    for (int fd : clients) {
        ::close(fd);
    }
}

}  // namespace

// A target whose accept queue is full neither accepts nor refuses: the
// connect runs on the GUI thread, so it is given up after a short time
// instead of holding the window for the kernel's minute-long SYN retries.
TEST(SocketClient, ConnectToAFullAcceptQueueGivesUpInBoundedTime) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    // Fill the queue: connections that are never accepted.
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    ::usleep(200 * 1000);  // the handshakes the queue takes complete

    XR_SOCKETTCP socket;
    socket.createClientSocket(21, "127.0.0.1", ntohs(address.sin_port));
    const auto start = std::chrono::steady_clock::now();
    const int result = socket.connectClient();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(socket.getLastError(), ETIMEDOUT);
    EXPECT_GE(elapsed, XR_SOCKETTCP::kConnectTimeoutMs - 100);
    EXPECT_LT(elapsed, XR_SOCKETTCP::kConnectTimeoutMs + 1500);
    for (int fd : fillers) {
        ::close(fd);
    }
    ::close(listener);
}

TEST(SocketClient, ConnectedSocketKnowsItsPeerAddress) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    XR_SOCKETTCP socket;
    EXPECT_EQ(socket.getConnectionPeerAddress(), 0u) << "no connection yet";
    socket.createClientSocket(21, "127.0.0.1", ntohs(address.sin_port));
    ASSERT_EQ(socket.connectClient(), 1);
    EXPECT_EQ(socket.getConnectionPeerAddress(), htonl(INADDR_LOOPBACK));
    socket.close();
    ::close(listener);
}
