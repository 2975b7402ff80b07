// Two TCP managers, a listening side and a connecting side, joined by the
// test in the stream's place: it moves every packet from one side's to-peer
// queue to the other side's from-peer queue, answers the connect request, and
// checks that a 4 MB random byte stream in each direction arrives intact.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "Sha256.h"
#include "TcpTestSupport.h"
#include "tcp/XR_TCPMANAGERFORFTP.h"

namespace {

using namespace tcptest;

constexpr int kTunnelPort = 21;
constexpr size_t kStreamBytes = 4 * 1024 * 1024;
constexpr int kTransferDeadlineMs = 90000;

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator() & 0xff);
    }
    return bytes;
}

// Reads everything until the peer closes or `limit` bytes arrived.
void readAll(int fd, size_t limit, std::string* out, std::atomic<bool>* done) {
    std::vector<char> buffer(65536);
    while (out->size() < limit) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kTransferDeadlineMs) != 1) {
            break;
        }
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        out->append(buffer.data(), static_cast<size_t>(n));
    }
    done->store(true);
}

// One direction of the shuttle: takes a packet from `from` when nothing is
// pending, and hands it to `to` when that queue has room (a full queue keeps
// the packet for the next round, as a stream would wait).
struct Lane {
    std::vector<uint8_t> slot = std::vector<uint8_t>(XR_QUE::kSlotBytes);
    bool pending = false;
    size_t size = 0;
    int delivered = 0;
};

TEST(TcpRelayStream, FourMegabytesEachWayArriveIntact) {
    TraceCapture traces;  // keeps the relay's traces off standard output
    Listener server;
    TestSettings settings;
    settings.listenPort = freePort();
    settings.connectHost = "127.0.0.1";
    settings.connectPort = server.port;
    settings.setAppMode(1);
    auto listening = std::make_unique<XR_TCPMANAGERFORFTP>(kTunnelPort);
    settings.setAppMode(0);
    auto connecting = std::make_unique<XR_TCPMANAGERFORFTP>(kTunnelPort);
    listening->openServer();
    XR_SOCKETTCP* a = listening->getControlSocket();
    ASSERT_NE(a, nullptr);

    const int client = connectTo(settings.listenPort);
    ASSERT_GE(client, 0);

    const std::string upload = randomBytes(kStreamBytes, 1);
    const std::string download = randomBytes(kStreamBytes, 2);
    std::string uploaded;
    std::string downloaded;
    std::atomic<bool> uploadDone{false};
    std::atomic<bool> downloadDone{false};
    int serverSide = -1;
    std::vector<std::thread> threads;

    Lane aToB;
    Lane bToA;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kTransferDeadlineMs);
    while (!(uploadDone.load() && downloadDone.load()) &&
           std::chrono::steady_clock::now() < deadline) {
        XR_SOCKETTCP* b = connecting->getControlSocket();
        if (!aToB.pending && a->getToPeerQueue().dequeue(aToB.slot.data()) != 0) {
            const TunnelPacketHeader h = loadPacketHeader(aToB.slot.data());
            if (h.kind == kKindControlMessage && h.code == kCodeConnectRequest) {
                const int connected = connecting->notifyTcpConnectRequest(kTunnelPort, "localhost");
                listening->notifyTcpConnectReply(h.port, connected == 1 ? 1 : 2);
                ASSERT_EQ(connected, 1);
                serverSide = server.accept();
                ASSERT_GE(serverSide, 0);
                threads.emplace_back([&] { sendAll(client, upload); });
                threads.emplace_back([&] { sendAll(serverSide, download); });
                threads.emplace_back(readAll, serverSide, kStreamBytes, &uploaded, &uploadDone);
                threads.emplace_back(readAll, client, kStreamBytes, &downloaded, &downloadDone);
            } else {
                aToB.pending = true;
                aToB.size = h.packetSize();
            }
        }
        if (aToB.pending && b != nullptr &&
            b->getFromPeerQueue().enqueue(aToB.slot.data(), static_cast<unsigned>(aToB.size))) {
            aToB.pending = false;
            ++aToB.delivered;
        }
        if (b != nullptr && !bToA.pending && b->getToPeerQueue().dequeue(bToA.slot.data()) != 0) {
            bToA.pending = true;
            bToA.size = loadPacketHeader(bToA.slot.data()).packetSize();
        }
        if (bToA.pending &&
            a->getFromPeerQueue().enqueue(bToA.slot.data(), static_cast<unsigned>(bToA.size))) {
            bToA.pending = false;
            ++bToA.delivered;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(uploaded.size(), kStreamBytes);
    EXPECT_EQ(downloaded.size(), kStreamBytes);
    EXPECT_EQ(Sha256::of(uploaded), Sha256::of(upload));
    EXPECT_EQ(Sha256::of(downloaded), Sha256::of(download));
    // At most one TCP read per packet: the stream needed many packets.
    EXPECT_GE(aToB.delivered, static_cast<int>(kStreamBytes / XR_SOCKETTCP::kTcpReadBytes));

    // The FTP client closes: its side announces it, and the other side's
    // connection ends once the notice has been shuttled across.
    ::close(client);
    auto notice = waitEntry(a->getToPeerQueue());
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->header.code, kCodeDisconnectRequest);
    XR_SOCKETTCP* b = connecting->getControlSocket();
    ASSERT_NE(b, nullptr);
    const auto packet = makePacket(kKindControlMessage, kCodeDisconnectRequest, kTunnelPort);
    ASSERT_EQ(enqueuePacket(b->getFromPeerQueue(), packet), 1);
    EXPECT_TRUE(seesEnd(serverSide));
    EXPECT_TRUE(waitUntil([&] { return b->isRunning() == 0; }));
    ::close(serverSide);
    connecting->closeAll();
    listening->closeAll();
}

TEST(Sha256Check, KnownDigests) {
    EXPECT_EQ(Sha256::of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256::of("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256::of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
