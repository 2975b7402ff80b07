// The receive dispatch against a peer that asks for more than an FTP session
// needs: data links nobody announced, control connections to a Client,
// data-link addresses hidden in later lines or split over packets.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "TunnelTestSupport.h"
#include "tunnel/XR_SKYPESTREAM.h"

namespace {

using namespace tunneltest;

constexpr const char* kApp = "QuillonForFtp2000";

PacketFields controlData(const std::string& bytes, uint32_t sequence) {
    PacketFields fields;
    fields.kind = kKindControlData;
    fields.port = 21;
    fields.payload = bytes;
    fields.sequence = sequence;
    return fields;
}

PacketFields message(uint16_t kind, uint16_t code, uint16_t port, uint32_t sequence) {
    PacketFields fields;
    fields.kind = kind;
    fields.code = code;
    fields.port = port;
    fields.sequence = sequence;
    return fields;
}

class PeerTrustTest : public LinkFixture {
protected:
    void TearDown() override {
        stream.reset();
        if (listener >= 0) {
            ::close(listener);
        }
        LinkFixture::TearDown();
    }
    void makeStream() {
        auto manager = std::make_unique<FakeTcpManager>();
        fake = manager.get();
        stream = std::make_unique<XR_SKYPESTREAM>("bob", 1, kApp, 0, std::move(manager));
    }
    // A control socket with a real TCP connection on loopback, so that both
    // of its addresses are 127.0.0.1.
    XR_SOCKETTCP& giveConnectedControl() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener, 1), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        auto control = std::make_unique<XR_SOCKETTCP>();
        control->createClientSocket(21, "127.0.0.1", ntohs(address.sin_port));
        EXPECT_EQ(control->connectClient(), 1);
        XR_SOCKETTCP& socket = *control;
        fake->giveControlSocket(std::move(control));
        return socket;
    }
    // This side's FTP program writes `text` towards the peer; one pump tick
    // sends it.
    void localSends(XR_SOCKETTCP& control, const std::string& text) {
        const auto packet = buildPacket(controlData(text, 0));
        ASSERT_EQ(
            control.getToPeerQueue().enqueue(packet.data(), static_cast<unsigned>(packet.size())),
            1);
        stream->resumeWriting();
        stream->intervalTimer();
    }
    void peerSends(const PacketFields& fields) {
        stream->repRead(readReply("bob:1", fields).c_str());
    }
    // Asks for a data link to `port`; returns the reply's result.
    int askDataLink(uint16_t port) {
        transport.commands.clear();
        peerSends(message(kKindDataLinkMessage, kCodeConnectRequest, port, sequence++));
        const auto all = writes();
        if (all.empty()) {
            return -1;
        }
        const auto reply = packetOfWrite(all.back());
        EXPECT_EQ(loadPacketU16(reply.data(), kOffsetCode), kCodeConnectReply);
        EXPECT_EQ(loadPacketU16(reply.data(), kOffsetPort), port);
        return loadPacketU16(reply.data(), kOffsetResult);
    }
    int connectCalls() const {
        int n = 0;
        for (const auto& call : fake->calls) {
            n += call.rfind("dlConnect", 0) == 0 || call.rfind("connect ", 0) == 0 ? 1 : 0;
        }
        return n;
    }
    std::string fromPeerQueued(XR_SOCKETTCP& control) {
        std::string all;
        unsigned char slot[XR_QUE::kSlotBytes];
        while (control.getFromPeerQueue().dequeue(slot) == 1) {
            const size_t n = loadPacketU16(slot, kOffsetDataLength);
            all.append(reinterpret_cast<char*>(slot) + kPacketHeaderBytes, n);
        }
        return all;
    }

    std::unique_ptr<XR_SKYPESTREAM> stream;
    FakeTcpManager* fake = nullptr;
    int listener = -1;
    uint32_t sequence = 0;
};

TEST_F(PeerTrustTest, UnannouncedDataLinkIsRefusedAndConnectsNowhere) {
    Capture capture;
    makeStream();
    for (uint16_t port : {22, 5432, 21}) {
        EXPECT_EQ(askDataLink(port), 2) << port;
    }
    EXPECT_EQ(connectCalls(), 0);
    ASSERT_FALSE(capture.events.empty());
    EXPECT_NE(capture.events.back().find("拒否"), std::string::npos) << capture.events.back();
}

TEST_F(PeerTrustTest, PassivePortAnnouncedByTheServerConnectsOnce) {
    makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    localSends(control, "227 Entering Passive Mode (127,0,0,1,117,48).\r\n");
    EXPECT_EQ(askDataLink(30001), 2) << "another port";
    EXPECT_EQ(askDataLink(30000), 1);
    EXPECT_EQ(fake->calls.back(), "dlConnect localhost:30000");
    EXPECT_EQ(askDataLink(30000), 2) << "used up";
    EXPECT_EQ(connectCalls(), 1);
}

TEST_F(PeerTrustTest, AnnouncementSplitOverPacketsAndAfterOtherLinesCounts) {
    makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    localSends(control, "150 Here.\r\n229 Entering Extended Passive Mode (|||30");
    localSends(control, "002|)\r\n");
    EXPECT_EQ(askDataLink(30002), 1);
}

TEST_F(PeerTrustTest, AnnouncementExpires) {
    makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    localSends(control, "227 Entering Passive Mode (127,0,0,1,117,48)\r\n");
    clock.advance(DataLinkExpectations::kLifetimeMs);
    EXPECT_EQ(askDataLink(30000), 2);
    EXPECT_EQ(connectCalls(), 0);
}

TEST_F(PeerTrustTest, AnnouncementIsForgottenWhenTheControlConnectionEnds) {
    makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    localSends(control, "227 Entering Passive Mode (127,0,0,1,117,48)\r\n");
    peerSends(message(kKindControlMessage, kCodeDisconnectRequest, 21, sequence++));
    EXPECT_EQ(askDataLink(30000), 2);

    localSends(control, "227 Entering Passive Mode (127,0,0,1,117,49)\r\n");
    const auto notice = buildPacket(message(kKindControlMessage, kCodeDisconnectRequest, 21, 0));
    ASSERT_EQ(control.getToPeerQueue().enqueue(notice.data(), static_cast<unsigned>(notice.size())),
              1);
    stream->resumeWriting();
    stream->intervalTimer();  // this side's connection ended
    EXPECT_EQ(askDataLink(30001), 2);
    EXPECT_EQ(connectCalls(), 0);
}

TEST_F(PeerTrustTest, ClientRefusesAControlConnectRequest) {
    Capture capture;
    settings->setAppMode(1);
    makeStream();
    ASSERT_EQ(fake->getMode(), XR_TCPMANAGER::kModeClient);
    peerSends(message(kKindControlMessage, kCodeConnectRequest, 21, sequence++));
    EXPECT_EQ(connectCalls(), 0);
    ASSERT_EQ(writes().size(), 1u);
    const auto reply = packetOfWrite(writes()[0]);
    EXPECT_EQ(loadPacketU16(reply.data(), kOffsetKind), kKindControlMessage);
    EXPECT_EQ(loadPacketU16(reply.data(), kOffsetResult), 2);
    EXPECT_EQ(loadPacketU16(reply.data(), kOffsetError), ECONNREFUSED);
    EXPECT_EQ(std::count(fake->calls.begin(), fake->calls.end(), "disconnect 21"), 0);
}

TEST_F(PeerTrustTest, ServerStillConnectsOnAControlConnectRequest) {
    makeStream();
    peerSends(message(kKindControlMessage, kCodeConnectRequest, 21, sequence++));
    EXPECT_EQ(fake->calls.back(), "connect localhost:21");
}

// Active mode: the Client's FTP client names itself; anything else is not
// expected, and the data link goes back to the FTP client's address.
TEST_F(PeerTrustTest, PortMustNameTheFtpClientAndTheLinkGoesBackThere) {
    settings->setAppMode(1);
    makeStream();
    XR_SOCKETTCP& control = giveConnectedControl();
    localSends(control, "PORT 192,168,1,20,117,48\r\n");
    EXPECT_EQ(askDataLink(30000), 2) << "another host's address";
    localSends(control, "EPRT |1|10.9.9.9|30001|\r\n");
    EXPECT_EQ(askDataLink(30001), 2) << "another host's address";
    EXPECT_EQ(connectCalls(), 0);

    localSends(control, "PORT 127,0,0,1,117,50\r\n");
    EXPECT_EQ(askDataLink(30002), 1);
    EXPECT_EQ(fake->calls.back(), "dlConnect 127.0.0.1:30002");
    localSends(control, "EPRT |1|127.0.0.1|30003|\r\n");
    EXPECT_EQ(askDataLink(30003), 1);
    EXPECT_EQ(fake->calls.back(), "dlConnect 127.0.0.1:30003");
}

TEST_F(PeerTrustTest, EveryLineFromThePeerIsChecked) {
    makeStream();
    XR_SOCKETTCP& control = giveConnectedControl();
    fake->dataLinkPort = 50000;
    peerSends(controlData("NOOP\r\nPORT 127,0,0,1,24,235\r\n", sequence++));
    EXPECT_EQ(fromPeerQueued(control), "NOOP\r\nPORT 127,0,0,1,195,80\r\n");
    peerSends(controlData("PORT 127,0,0,", sequence++));
    EXPECT_EQ(fromPeerQueued(control), "") << "held until its end";
    peerSends(controlData("1,24,236\r\n", sequence++));
    EXPECT_EQ(fromPeerQueued(control), "PORT 127,0,0,1,195,80\r\n");
    EXPECT_EQ(fake->calls.back(), "openDataLink 6380");
}

TEST_F(PeerTrustTest, OverlongLineEndsTheControlConnection) {
    Capture capture;
    makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    const std::string chunk(FtpLineAssembler::kMaxLineBytes / 2 + 1, 'A');
    peerSends(controlData(chunk, sequence++));
    peerSends(controlData(chunk, sequence++));
    EXPECT_EQ(control.getFromPeerQueue().getCount(), 0);
    ASSERT_FALSE(capture.events.empty());
    EXPECT_EQ(capture.events.back(), "0 bobとのFTP接続:localhostとのport=21 長すぎる行を検出");
    EXPECT_EQ(fake->calls.back(), "disconnect 21");
    // Nothing more of that connection is delivered.
    peerSends(controlData("QUIT\r\n", sequence++));
    EXPECT_EQ(control.getFromPeerQueue().getCount(), 0);
}

}  // namespace
