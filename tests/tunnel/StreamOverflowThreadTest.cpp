// The receive dispatch against a real TCP side: a data link whose from-peer
// queue stays full is ended on both sides (the local TCP connection and the
// peer, through a DISCONNECT-REQUEST), instead of going on with a hole.
// Threaded: the data-link socket's worker runs; the test waits for it with a
// deadline, the stream itself is still ticked by hand.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "TunnelTestSupport.h"
#include "tunnel/XR_SKYPESTREAM.h"

namespace {

using namespace tunneltest;

constexpr int kPayloadBytes = 10240;
constexpr int kMaxPackets = 200;
constexpr auto kDeadline = std::chrono::seconds(10);
constexpr auto kPollPause = std::chrono::milliseconds(10);

class StreamOverflowThreads : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        setEventLineObserver([this](int level, const char* line) {
            events.push_back(std::to_string(level) + " " + line);
        });
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(listener, 0);
        const int small = 4096;  // a TCP reader that takes almost nothing
        ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 1), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    void TearDown() override {
        if (accepted >= 0) {
            ::close(accepted);
        }
        ::close(listener);
        setEventLineObserver({});
        LinkFixture::TearDown();
    }
    bool hasDisconnectWrite(uint16_t kind) const {
        for (const auto& w : writes()) {
            const auto packet = packetOfWrite(w);
            if (loadPacketU16(packet.data(), kOffsetKind) == kind &&
                loadPacketU16(packet.data(), kOffsetCode) == kCodeDisconnectRequest) {
                return true;
            }
        }
        return false;
    }

    // This side's FTP server announced the listener's port to the peer.
    void announcePassivePort(XR_SKYPESTREAM& stream) const {
        PacketFields reply;
        reply.kind = kKindControlData;
        reply.port = 21;
        reply.payload = "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) +
                        "," + std::to_string(port % 256) + ")\r\n";
        stream.scanToPeer(buildPacket(reply).data());
    }

    int listener = -1;
    int accepted = -1;
    int port = 0;
    std::vector<std::string> events;
};

TEST_F(StreamOverflowThreads, DataLinkThatStaysFullEndsOnBothSides) {
    auto stream = std::make_unique<XR_SKYPESTREAM>("bob", 1, "QuillonForFtp2000", 0);
    stream->setRoomWait([](int) {});  // the 5 s of waiting pass at once

    announcePassivePort(*stream);
    PacketFields request;
    request.kind = kKindDataLinkMessage;
    request.code = kCodeConnectRequest;
    request.port = static_cast<uint16_t>(port);
    stream->repRead(readReply("bob:1", request).c_str());
    ASSERT_EQ(writes().size(), 1u);
    ASSERT_EQ(loadPacketU16(packetOfWrite(writes()[0]).data(), kOffsetResult), 1);
    accepted = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    events.clear();  // the connect request's line

    // The worker moves one entry per relay step; the peer's packets come
    // faster here, so the queue fills and stays full.
    const std::string lost =
        "0 bobとのFTP接続:localhostとのd-port=" + std::to_string(port) + " QUEFULLを検出";
    PacketFields data;
    data.kind = kKindDataLinkData;
    data.port = static_cast<uint16_t>(port);
    data.payload.assign(kPayloadBytes, 'd');
    int sent = 0;
    for (uint32_t seq = 1; seq <= kMaxPackets && events.empty(); ++seq) {
        data.sequence = seq;
        stream->repRead(readReply("bob:1", data).c_str());
        ++sent;
    }
    ASSERT_FALSE(events.empty()) << "the queue never stayed full in " << sent << " packets";
    EXPECT_EQ(events.back(), lost);

    // The worker ends its connection and tells the peer; the pump carries it.
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!hasDisconnectWrite(kKindDataLinkMessage) &&
           std::chrono::steady_clock::now() < deadline) {
        stream->resumeWriting();
        stream->intervalTimer();
        std::this_thread::sleep_for(kPollPause);
    }
    EXPECT_TRUE(hasDisconnectWrite(kKindDataLinkMessage)) << "the peer was not told";

    // The local TCP end sees the connection end after what it got.
    timeval timeout{5, 0};
    ::setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char buffer[65536];
    ssize_t n = 0;
    long total = 0;
    while ((n = ::recv(accepted, buffer, sizeof buffer, 0)) > 0) {
        total += n;
    }
    EXPECT_TRUE(n == 0 || errno == ECONNRESET) << "recv " << n << " errno " << errno;
    EXPECT_LT(total, static_cast<long>(sent) * kPayloadBytes);

    // The rest of that link is dropped at once, not waited for.
    const size_t linesBefore = events.size();
    data.sequence = static_cast<uint32_t>(sent + 1);
    stream->repRead(readReply("bob:1", data).c_str());
    EXPECT_EQ(events.size(), linesBefore);
    stream.reset();  // stops and joins every worker
}

TEST_F(StreamOverflowThreads, DisconnectBehindAFullQueueComesAfterTheLastBytes) {
    auto stream = std::make_unique<XR_SKYPESTREAM>("bob", 1, "QuillonForFtp2000", 0);
    announcePassivePort(*stream);
    PacketFields request;
    request.kind = kKindDataLinkMessage;
    request.code = kCodeConnectRequest;
    request.port = static_cast<uint16_t>(port);
    stream->repRead(readReply("bob:1", request).c_str());
    accepted = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    XR_SOCKETTCP* dataLink = stream->getTcpManager()->getDataLinkSocket();
    ASSERT_NE(dataLink, nullptr);

    // Fill the queue without ever making the dispatch wait for room: the end
    // of the link then arrives while the queue holds its last bytes.
    PacketFields data;
    data.kind = kKindDataLinkData;
    data.port = static_cast<uint16_t>(port);
    data.payload.assign(kPayloadBytes, 'e');
    uint32_t seq = 1;
    long sent = 0;
    while (dataLink->getFromPeerQueue().canEnqueue() == 1 && seq <= kMaxPackets) {
        data.sequence = seq++;
        stream->repRead(readReply("bob:1", data).c_str());
        sent += kPayloadBytes;
    }
    ASSERT_EQ(dataLink->getFromPeerQueue().canEnqueue(), 0) << "the queue never filled";
    PacketFields end;
    end.kind = kKindDataLinkMessage;
    end.code = kCodeDisconnectRequest;
    end.port = static_cast<uint16_t>(port);
    end.sequence = seq;
    stream->repRead(readReply("bob:1", end).c_str());

    timeval timeout{5, 0};
    ::setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char buffer[65536];
    ssize_t n = 0;
    long total = 0;
    while ((n = ::recv(accepted, buffer, sizeof buffer, 0)) > 0) {
        total += n;
    }
    EXPECT_EQ(n, 0) << "the link did not end, errno " << errno;
    EXPECT_EQ(total, sent) << "bytes queued before the end were dropped";
    stream.reset();
}

}  // namespace
