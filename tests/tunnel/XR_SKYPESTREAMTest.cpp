#include "tunnel/XR_SKYPESTREAM.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <ostream>

#include "TunnelTestSupport.h"

namespace {

using namespace tunneltest;

constexpr const char* kApp = "QuillonForFtp2000";

class StreamTest : public LinkFixture {
protected:
    std::unique_ptr<XR_SKYPESTREAM> makeStream(const char* user = "bob", int id = 1) {
        auto manager = std::make_unique<FakeTcpManager>();
        fake = manager.get();
        return std::make_unique<XR_SKYPESTREAM>(user, id, kApp, 0, std::move(manager));
    }
    static void queue(XR_QUE& q, const PacketFields& fields) {
        const auto packet = buildPacket(fields);
        ASSERT_EQ(q.enqueue(packet.data(), static_cast<unsigned>(packet.size())), 1);
    }
    static uint32_t sequenceOf(const std::string& write) {
        return loadPacketU32(packetOfWrite(write).data(), kOffsetSequence);
    }
    static uint16_t kindOf(const std::string& write) {
        return loadPacketU16(packetOfWrite(write).data(), kOffsetKind);
    }
    FakeTcpManager* fake = nullptr;
};

PacketFields controlData(const std::string& bytes, uint32_t sequence = 0) {
    PacketFields fields;
    fields.kind = kKindControlData;
    fields.port = 21;
    fields.payload = bytes;
    fields.sequence = sequence;
    return fields;
}

PacketFields dataLinkData(const std::string& bytes, uint32_t sequence = 0) {
    PacketFields fields;
    fields.kind = kKindDataLinkData;
    fields.port = 30000;
    fields.payload = bytes;
    fields.sequence = sequence;
    return fields;
}

// --- the send pump ----------------------------------------------------------------

TEST_F(StreamTest, ConstructionOpensTheManagerAndKeepsSettings) {
    auto stream = makeStream();
    EXPECT_EQ(fake->calls, std::vector<std::string>{"openServer"});
    EXPECT_EQ(stream->getClientPort(), 21);
    EXPECT_EQ(stream->getServerPort(), 21);
    EXPECT_STREQ(stream->getServerHost(), "localhost");
    EXPECT_EQ(stream->getSeen(), 1);
    EXPECT_EQ(stream->getWriteReady(), 1);
}

TEST_F(StreamTest, SequenceNumbersRunAcrossKindsAndAFailedWriteUsesOneUp) {
    auto stream = makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    XR_SOCKETTCP& dataLink = fake->giveDataLinkSocket();
    queue(control.getToPeerQueue(), controlData("USER demo\r\n"));
    queue(dataLink.getToPeerQueue(), dataLinkData("0123456789"));

    stream->intervalTimer();  // control and data link in one tick
    stream->resumeWriting();
    stream->sendConnectReply(21, 1, 0);
    stream->resumeWriting();
    stream->sendNullPacket();
    stream->resumeWriting();
    ASSERT_EQ(writes().size(), 4u);
    EXPECT_EQ(sequenceOf(writes()[0]), 0u);
    EXPECT_EQ(sequenceOf(writes()[1]), 1u);
    EXPECT_EQ(sequenceOf(writes()[2]), 2u);
    EXPECT_EQ(sequenceOf(writes()[3]), 3u);

    // A write the driver refuses loses its packet and its number.
    transport.result = 0;
    queue(control.getToPeerQueue(), controlData("PASS demo\r\n"));
    stream->intervalTimer();
    EXPECT_EQ(control.getToPeerQueue().getCount(), 0);
    EXPECT_EQ(stream->getWriteReady(), 1);
    reattach();
    transport.result = 1;
    transport.commands.clear();
    queue(control.getToPeerQueue(), controlData("LIST\r\n"));
    stream->intervalTimer();
    ASSERT_EQ(writes().size(), 1u);
    EXPECT_EQ(sequenceOf(writes()[0]), 5u);
}

TEST_F(StreamTest, WriteTextNamesApplicationPeerAndStream) {
    auto stream = makeStream("carol", 7);
    stream->sendNullPacket();
    ASSERT_EQ(writes().size(), 1u);
    EXPECT_EQ(writes()[0],
              "ALTER APPLICATION QuillonForFtp2000 WRITE carol:7 "
              "28000000020001000000000000000000000000000000000000000000000000000000"
              "000000000000");
}

TEST_F(StreamTest, WriteHoldsEveryTickUntilResumed) {
    auto stream = makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    queue(control.getToPeerQueue(), controlData("A\r\n"));
    queue(control.getToPeerQueue(), controlData("B\r\n"));
    stream->intervalTimer();
    EXPECT_EQ(stream->getWriteReady(), 0);
    for (int i = 0; i < 700; ++i) {
        stream->intervalTimer();  // no dequeue, no keep-alive counting
    }
    EXPECT_EQ(writes().size(), 1u);
    EXPECT_EQ(control.getToPeerQueue().getCount(), 1);
    stream->resumeWriting();
    stream->intervalTimer();
    ASSERT_EQ(writes().size(), 2u);
    EXPECT_EQ(kindOf(writes()[1]), kKindControlData);
}

TEST_F(StreamTest, BothPacketsLeaveInOneTickControlFirst) {
    Capture capture;
    auto stream = makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    XR_SOCKETTCP& dataLink = fake->giveDataLinkSocket();
    queue(dataLink.getToPeerQueue(), dataLinkData("data"));
    queue(control.getToPeerQueue(), controlData("NOOP\r\n"));
    stream->intervalTimer();
    ASSERT_EQ(writes().size(), 2u);
    EXPECT_EQ(kindOf(writes()[0]), kKindControlData);
    EXPECT_EQ(kindOf(writes()[1]), kKindDataLinkData);
    EXPECT_EQ(
        capture.count("XR_SKYPESTREAM::intervalTimer():Send A2A packet deque port=21,kind=3\n"), 1);
    EXPECT_EQ(
        capture.count("XR_SKYPESTREAM::intervalTimer():Send A2A packet deque port=30000,kind=4\n"),
        1);
    EXPECT_EQ(stream->getBytesSent(), 10);
}

TEST_F(StreamTest, PacketsCarryThisSidesQueueStates) {
    auto stream = makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    XR_SOCKETTCP& dataLink = fake->giveDataLinkSocket();
    queue(control.getFromPeerQueue(), controlData("x"));
    queue(control.getFromPeerQueue(), controlData("y"));
    queue(dataLink.getFromPeerQueue(), dataLinkData("z"));
    stream->sendNullPacket();
    const auto packet = packetOfWrite(writes()[0]);
    EXPECT_EQ(loadPacketU16(packet.data(), kOffsetControlState), 0);
    EXPECT_EQ(loadPacketU16(packet.data(), kOffsetControlFree), 28);
    EXPECT_EQ(loadPacketU16(packet.data(), kOffsetDataLinkFree), 29);
}

struct SkipRow {
    uint16_t peerState;
    uint16_t peerFree;
    bool skipped;
};

void PrintTo(const SkipRow& row, std::ostream* os) {
    *os << "state " << row.peerState << " free " << row.peerFree;
}

class SkipRule : public StreamTest, public ::testing::WithParamInterface<SkipRow> {};

TEST_P(SkipRule, DataLinkWaitsWhileThePeersControlQueueFills) {
    const SkipRow row = GetParam();
    Capture capture;
    auto stream = makeStream();
    XR_SOCKETTCP& dataLink = fake->giveDataLinkSocket();
    PacketFields report;
    report.controlState = row.peerState;
    report.controlFree = row.peerFree;
    stream->repRead(readReply("bob:1", report).c_str());
    queue(dataLink.getToPeerQueue(), dataLinkData("payload"));

    stream->intervalTimer();
    stream->intervalTimer();
    const std::string what =
        "state " + std::to_string(row.peerState) + " free " + std::to_string(row.peerFree);
    if (row.skipped) {
        EXPECT_TRUE(writes().empty()) << what;
        EXPECT_EQ(dataLink.getToPeerQueue().getCount(), 1) << what;
        EXPECT_EQ(capture.count("SKIP SEND A2A data-link data\n"), 2) << what;
    } else {
        EXPECT_EQ(writes().size(), 1u) << what;
        EXPECT_EQ(capture.count("SKIP SEND A2A data-link data\n"), 0) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SkipRule,
                         ::testing::Values(SkipRow{2, 20, true}, SkipRow{2, 0, true},
                                           SkipRow{2, 21, false}, SkipRow{1, 20, false},
                                           SkipRow{0, 5, false}));

TEST_F(StreamTest, FirstKeepAliveOnThe601stCountedTick) {
    auto stream = makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    for (int i = 0; i < 300; ++i) {
        stream->intervalTimer();  // counted: 300
    }
    queue(control.getToPeerQueue(), controlData("NOOP\r\n"));
    stream->intervalTimer();  // a control packet: not counted
    for (int i = 0; i < 50; ++i) {
        stream->intervalTimer();  // held: not counted
    }
    stream->resumeWriting();
    for (int i = 0; i < 300; ++i) {
        stream->intervalTimer();  // counted: 600
    }
    EXPECT_EQ(writes().size(), 1u);
    stream->intervalTimer();  // the 601st counted tick
    ASSERT_EQ(writes().size(), 2u);
    EXPECT_EQ(kindOf(writes()[1]), kKindNull);

    // A failed keep-alive is tried again on the next counted tick.
    stream->resumeWriting();
    for (int i = 0; i < 600; ++i) {
        stream->intervalTimer();
    }
    transport.result = 0;
    stream->intervalTimer();
    reattach();
    transport.result = 1;
    transport.commands.clear();
    stream->intervalTimer();
    ASSERT_EQ(writes().size(), 1u);
    EXPECT_EQ(kindOf(writes()[0]), kKindNull);
}

TEST_F(StreamTest, WriteSizeLimitIs65534Characters) {
    // "carl" and the application name: 21 characters, so the largest text
    // that may go is 65534 - 37 - 21 = 65476 characters, 32738 bytes.
    auto stream = makeStream("carl", 1);
    const int largest = (65534 - 37 - 21) / 2;
    std::vector<unsigned char> packet(largest + 1, 0);
    initPacketHeader(packet.data());
    storePacketU16(packet.data(), kOffsetDataLength, static_cast<uint16_t>(largest - 40));
    EXPECT_EQ(stream->sendPacket(largest, packet.data()), 1);
    ASSERT_EQ(writes().size(), 1u);
    EXPECT_EQ(writes()[0].size(), 65534u - 10 + 1);  // the id takes 1 of its 10 digits
    stream->resumeWriting();

    storePacketU16(packet.data(), kOffsetDataLength, static_cast<uint16_t>(largest + 1 - 40));
    EXPECT_EQ(stream->sendPacket(largest + 1, packet.data()), 1);  // dropped, reported as sent
    EXPECT_EQ(writes().size(), 1u);
    EXPECT_EQ(stream->getWriteReady(), 1);
    EXPECT_EQ(stream->getSendSequence(), 2u);  // its number is used up
}

TEST_F(StreamTest, DisconnectAndCloseTcp) {
    auto stream = makeStream("bob", 3);
    stream->disconnect();
    EXPECT_EQ(transport.commands.back(), "ALTER APPLICATION QuillonForFtp2000 DISCONNECT bob:3");
    stream->closeTcp();
    EXPECT_EQ(stream->getTcpManager(), nullptr);
    stream->intervalTimer();  // without a manager the pump does nothing
    EXPECT_TRUE(writes().empty());
}

// --- the receive dispatch -----------------------------------------------------------

TEST_F(StreamTest, ReplyForAnotherStreamIsSkipped) {
    Capture capture;
    auto one = makeStream("bob", 1);
    auto twelve = makeStream("bob", 12);
    const std::string reply = readReply("bob:12", PacketFields{});
    one->repRead(reply.c_str());
    twelve->repRead(reply.c_str());
    EXPECT_EQ(capture.count("XR_SKYPESTREAM::repRead() SKIP NOT user=bob, id=1\n"), 1);
    EXPECT_EQ(one->getReceiveSequence(), 0u);
    EXPECT_EQ(twelve->getReceiveSequence(), 1u);
}

TEST_F(StreamTest, OddLengthDataDecodesNothing) {
    Capture capture;
    auto stream = makeStream();
    stream->repRead("bob:1 280");
    EXPECT_EQ(capture.count("受信データの文字数が奇数です\n"), 1);
    EXPECT_EQ(capture.count("●●●●DATA NASHI headerSize=0\n"), 1);
    EXPECT_EQ(stream->getReceiveSequence(), 0u);
}

TEST_F(StreamTest, NullPacketRecordsThePeersQueues) {
    Capture capture;
    auto stream = makeStream();
    PacketFields fields;
    fields.controlState = 2;
    fields.controlFree = 25;
    stream->repRead(readReply("bob:1", fields).c_str());
    EXPECT_EQ(capture.count("READ REPLY OK\n"), 1);
    EXPECT_EQ(capture.count("receive NULL packet !\n"), 1);
    EXPECT_EQ(stream->getReceiveSequence(), 1u);
    EXPECT_EQ(stream->getPeerControlState(), 2);
    EXPECT_EQ(stream->getPeerControlFree(), 25);
    EXPECT_EQ(stream->isPeerControlConnected(), 1);
    EXPECT_EQ(stream->getBytesReceived(), 0);
}

TEST_F(StreamTest, SequenceGapAsksToCloseAndStillHandles) {
    Capture capture;
    auto stream = makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    for (uint32_t seq : {0u, 1u, 3u}) {
        stream->repRead(readReply("bob:1", controlData("\n", seq)).c_str());
    }
    EXPECT_EQ(capture.count("SEQ NO Error headerSEQ=3, thisSEQ=2\n"), 1);
    EXPECT_EQ(transport.commands.back(), "ALTER APPLICATION QuillonForFtp2000 DISCONNECT bob:1");
    EXPECT_EQ(control.getFromPeerQueue().getCount(), 3);  // still delivered
    EXPECT_EQ(stream->getReceiveSequence(), 3u);
    stream->repRead(readReply("bob:1", controlData("y", 4)).c_str());
    EXPECT_EQ(capture.count("SEQ NO Error headerSEQ=4, thisSEQ=3\n"), 1);
    EXPECT_EQ(stream->getBytesReceived(), 4);
}

TEST_F(StreamTest, ConnectRequestRepliesWithTheOutcome) {
    struct Row {
        int result;
        int error;
        uint16_t replyResult;
        const char* line;
    } rows[] = {
        {1, 0, 1, "2 bob:TCP接続要求: localhost Port=21 接続"},
        {0, 111, 2, "2 bob:TCP接続要求: localhost Port=21 接続に失敗"},
    };
    for (const Row& row : rows) {
        Capture capture;
        transport.commands.clear();
        auto stream = makeStream();
        fake->connectResult = row.result;
        fake->connectError = row.error;
        PacketFields request;
        request.kind = kKindControlMessage;
        request.code = kCodeConnectRequest;
        request.port = 4321;
        stream->repRead(readReply("bob:1", request).c_str());
        EXPECT_EQ(capture.count("A2A RECIEV CONNECT-REQUEST:port:4321\n"), 1) << row.line;
        EXPECT_EQ(fake->calls.back(), "connect localhost:21") << row.line;
        ASSERT_EQ(writes().size(), 1u) << row.line;
        const auto reply = packetOfWrite(writes()[0]);
        EXPECT_EQ(loadPacketU16(reply.data(), kOffsetKind), kKindControlMessage) << row.line;
        EXPECT_EQ(loadPacketU16(reply.data(), kOffsetCode), kCodeConnectReply) << row.line;
        EXPECT_EQ(loadPacketU16(reply.data(), kOffsetPort), 4321) << row.line;
        EXPECT_EQ(loadPacketU16(reply.data(), kOffsetResult), row.replyResult) << row.line;
        EXPECT_EQ(loadPacketU16(reply.data(), kOffsetError), row.error) << row.line;
        EXPECT_EQ(capture.events, std::vector<std::string>{row.line});
    }
}

TEST_F(StreamTest, ConnectRequestWithoutAWrittenReplyLogsNothing) {
    Capture capture;
    auto stream = makeStream();
    transport.result = 0;
    PacketFields request;
    request.kind = kKindControlMessage;
    request.code = kCodeConnectRequest;
    request.port = 21;
    stream->repRead(readReply("bob:1", request).c_str());
    for (const auto& line : capture.events) {
        EXPECT_EQ(line.find("TCP接続要求"), std::string::npos) << line;
    }
}

TEST_F(StreamTest, DataLinkMessagesReachTheManager) {
    Capture capture;
    auto stream = makeStream();
    // The local FTP server announced the passive port to the peer.
    XR_SOCKETTCP& control = fake->giveControlSocket();
    queue(control.getToPeerQueue(), controlData("227 Entering Passive Mode (127,0,0,1,117,48)\r\n"));
    stream->intervalTimer();
    transport.commands.clear();
    capture.events.clear();
    PacketFields fields;
    fields.kind = kKindDataLinkMessage;
    fields.port = 30000;
    fields.code = kCodeConnectRequest;
    stream->repRead(readReply("bob:1", fields).c_str());
    EXPECT_EQ(fake->calls.back(), "dlConnect localhost:30000");
    const auto reply = packetOfWrite(writes().at(0));
    EXPECT_EQ(loadPacketU16(reply.data(), kOffsetKind), kKindDataLinkMessage);
    EXPECT_EQ(loadPacketU16(reply.data(), kOffsetResult), 1);
    EXPECT_EQ(capture.events.back(), "2 bob:TCP接続要求(d-link): localhost Port=30000 接続");

    fields.code = kCodeConnectReply;
    fields.result = 2;
    fields.sequence = 1;
    stream->repRead(readReply("bob:1", fields).c_str());
    EXPECT_EQ(fake->calls.back(), "dlReply 30000 2");

    fields.code = kCodeDisconnectRequest;
    fields.sequence = 2;
    stream->repRead(readReply("bob:1", fields).c_str());  // no data-link socket
    EXPECT_EQ(fake->calls.back(), "dlDisconnect 30000");
    EXPECT_EQ(capture.events.back(), "2 bob:TCP切断要求(d-link): localhost Port=30000 切断");

    XR_SOCKETTCP& dataLink = fake->giveDataLinkSocket();
    fields.sequence = 3;
    stream->repRead(readReply("bob:1", fields).c_str());  // queued behind the data
    EXPECT_EQ(dataLink.getFromPeerQueue().getCount(), 1);
}

// A peer's end of a data link waits behind the link's bytes while its queue
// has room. Otherwise the link is closed at once: a full queue with no worker
// to end the link once drained, or a link given up earlier (its bytes cannot
// go on, so nothing is worth waiting for).
TEST_F(StreamTest, DataLinkEndIsQueuedOrClosesTheLinkAtOnce) {
    struct Row {
        const char* what;
        bool fullQueue;  // the queue is full when the end arrives
        bool givenUp;    // the link was given up over a full queue, which then drained
        int queued;      // entries on the link's from-peer queue afterwards
        int closes;      // dlDisconnect calls made for the end itself
    } rows[] = {
        {"room", false, false, 1, 0},
        {"full queue, no worker", true, false, XR_QUE::kCapacity, 1},
        {"given up, room again", false, true, 0, 1},
    };
    for (const Row& row : rows) {
        auto stream = makeStream();
        stream->setRoomWait([](int) {});
        XR_SOCKETTCP& dataLink = fake->giveDataLinkSocket();
        XR_QUE& fromPeer = dataLink.getFromPeerQueue();
        uint32_t sequence = 0;
        if (row.fullQueue || row.givenUp) {
            for (int i = 0; i < XR_QUE::kCapacity; ++i) {
                queue(fromPeer, dataLinkData("x"));
            }
        }
        if (row.givenUp) {
            stream->repRead(readReply("bob:1", dataLinkData("lost", sequence++)).c_str());
            ASSERT_EQ(fake->calls.back(), "dlDisconnect 30000") << row.what;
            std::vector<unsigned char> slot(XR_QUE::kSlotBytes);
            while (fromPeer.dequeue(slot.data()) == 1) {
            }
        }
        const size_t callsBefore = fake->calls.size();
        PacketFields end;
        end.kind = kKindDataLinkMessage;
        end.code = kCodeDisconnectRequest;
        end.port = 30000;
        end.sequence = sequence;
        stream->repRead(readReply("bob:1", end).c_str());
        EXPECT_EQ(fromPeer.getCount(), row.queued) << row.what;
        const std::vector<std::string> after(fake->calls.begin() + static_cast<long>(callsBefore),
                                             fake->calls.end());
        EXPECT_EQ(after,
                  std::vector<std::string>(static_cast<size_t>(row.closes), "dlDisconnect 30000"))
            << row.what;
    }
}

// The late end of one data link must not end the next: a packet for another
// port than the link serves now, or for a listener whose client the peer has
// not confirmed yet, belongs to an earlier link.
TEST_F(StreamTest, DataLinkPacketsOfAnEarlierLinkAreIgnored) {
    constexpr uint16_t kCurrent = 30001;
    constexpr uint16_t kEarlier = 30000;
    struct Row {
        const char* what;
        bool listener;  // the link listens (and waits for the peer's OK); else it connected out
        uint16_t kind;
        uint16_t code;
        uint16_t port;
        int queued;              // entries on the link's from-peer queue afterwards
        const char* call;        // expected last manager call
        const char* trace;       // nullptr: no "earlier link" trace
    } rows[] = {
        {"end of the current link", false, kKindDataLinkMessage, kCodeDisconnectRequest,
         kCurrent, 1, "openServer", nullptr},
        {"end of an earlier link", false, kKindDataLinkMessage, kCodeDisconnectRequest, kEarlier,
         0, "openServer",
         "XR_SKYPESTREAM::repRead() data-link disconnect for an earlier link, ignored\n"},
        {"data of the current link", false, kKindDataLinkData, 0, kCurrent, 1, "openServer",
         nullptr},
        {"data of an earlier link", false, kKindDataLinkData, 0, kEarlier, 0, "openServer",
         "XR_SKYPESTREAM::repRead() data-link data for an earlier link, dropped\n"},
        {"answer for an earlier link", false, kKindDataLinkMessage, kCodeConnectReply, kEarlier,
         0, "openServer",
         "XR_SKYPESTREAM::repRead() data-link answer for an earlier link, ignored\n"},
        {"answer for the current link", false, kKindDataLinkMessage, kCodeConnectReply, kCurrent,
         0, "dlReply 30001 1", nullptr},
        {"end while the listener's client is unconfirmed", true, kKindDataLinkMessage,
         kCodeDisconnectRequest, kCurrent, 0, "openServer",
         "XR_SKYPESTREAM::repRead() data-link disconnect for an earlier link, ignored\n"},
        {"data while the listener's client is unconfirmed", true, kKindDataLinkData, 0, kCurrent,
         0, "openServer",
         "XR_SKYPESTREAM::repRead() data-link data for an earlier link, dropped\n"},
    };
    for (const Row& row : rows) {
        Capture capture;
        auto stream = makeStream();
        XR_SOCKETTCP& dataLink = fake->giveDataLinkSocket();
        if (row.listener) {
            ASSERT_EQ(dataLink.createServerSocketAnyPort(kCurrent, htonl(INADDR_LOOPBACK)), 1)
                << row.what;
        } else {
            ASSERT_EQ(dataLink.createClientSocket(kCurrent, "127.0.0.1"), 1) << row.what;
        }
        PacketFields fields;
        fields.kind = row.kind;
        fields.code = row.code;
        fields.port = row.port;
        fields.result = row.code == kCodeConnectReply ? 1 : 0;
        if (row.kind == kKindDataLinkData) {
            fields.payload = "bytes";
        }
        stream->repRead(readReply("bob:1", fields).c_str());
        EXPECT_EQ(dataLink.getFromPeerQueue().getCount(), row.queued) << row.what;
        EXPECT_EQ(fake->calls.back(), row.call) << row.what;
        if (row.trace != nullptr) {
            EXPECT_EQ(capture.count(row.trace), 1) << row.what;
            EXPECT_TRUE(capture.events.empty()) << row.what;
        } else {
            EXPECT_FALSE(capture.hasTraceContaining("earlier link")) << row.what;
        }
    }
}

TEST_F(StreamTest, ControlDisconnectRequestHonoursOnlyTheTunnelPort) {
    struct Row {
        const char* what;
        int socket;  // 0 none, 1 with room, 2 full
        uint16_t port;
        const char* trace;  // nullptr: ignored without a trace
        const char* call;   // expected last manager call, nullptr: none
        int queued;
    } rows[] = {
        {"queued", 1, 21, "PEERからのDISCONNECTをQUEしました\n", nullptr, 1},
        {"other port", 1, 2121, nullptr, nullptr, 0},
        {"full queue", 2, 21, "PEERからのDISCONNECTをTCPMANAGERに通知しました\n", "disconnect 21",
         30},
        {"no socket", 0, 21,
         "PEERからのDISCONNECTをオブジェクト設定がないのでTCPMANAGERに通知しました\n",
         "disconnect 21", 0},
    };
    for (const Row& row : rows) {
        Capture capture;
        auto stream = makeStream();
        XR_SOCKETTCP* control = row.socket != 0 ? &fake->giveControlSocket() : nullptr;
        if (row.socket == 2) {
            for (int i = 0; i < XR_QUE::kCapacity; ++i) {
                queue(control->getFromPeerQueue(), controlData("x"));
            }
        }
        PacketFields fields;
        fields.kind = kKindControlMessage;
        fields.code = kCodeDisconnectRequest;
        fields.port = row.port;
        stream->repRead(readReply("bob:1", fields).c_str());
        if (row.trace == nullptr) {
            EXPECT_FALSE(capture.hasTraceContaining("DISCONNECT")) << row.what;
            EXPECT_TRUE(capture.events.empty()) << row.what;
        } else {
            EXPECT_EQ(capture.count("A2A RECIEV DISCONNECT-REQUEST:port:21\n"), 1) << row.what;
            EXPECT_EQ(capture.count(row.trace), 1) << row.what;
            EXPECT_EQ(capture.events,
                      std::vector<std::string>{"2 bob:TCP切断要求: localhost Port=21 切断"})
                << row.what;
        }
        EXPECT_EQ(fake->calls.back(), row.call != nullptr ? row.call : "openServer") << row.what;
        if (control != nullptr) {
            EXPECT_EQ(control->getFromPeerQueue().getCount(), row.queued) << row.what;
        }
    }
}

TEST_F(StreamTest, OtherKindsAndCodesOnlyCount) {
    auto stream = makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    PacketFields kind5;
    kind5.kind = 5;
    kind5.payload = "abc";
    PacketFields code4;
    code4.kind = kKindControlMessage;
    code4.code = 4;
    code4.sequence = 1;
    stream->repRead(readReply("bob:1", kind5).c_str());
    stream->repRead(readReply("bob:1", code4).c_str());
    EXPECT_EQ(stream->getReceiveSequence(), 2u);
    EXPECT_EQ(stream->getBytesReceived(), 3);
    EXPECT_EQ(fake->calls, std::vector<std::string>{"openServer"});
    EXPECT_EQ(control.getFromPeerQueue().getCount(), 0);
    EXPECT_TRUE(writes().empty());
}

TEST_F(StreamTest, ControlDataWithoutControlSocketIsDroppedButCounted) {
    auto stream = makeStream();
    stream->repRead(readReply("bob:1", controlData("hello")).c_str());
    EXPECT_EQ(stream->getReceiveSequence(), 1u);
    EXPECT_EQ(stream->getBytesReceived(), 5);
}

TEST_F(StreamTest, ControlDataWaitsForRoomInsteadOfBeingDropped) {
    Capture capture;
    auto stream = makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    for (int i = 0; i < XR_QUE::kCapacity; ++i) {
        queue(control.getFromPeerQueue(), controlData("x"));
    }
    int waits = 0;
    unsigned char slot[XR_QUE::kSlotBytes];
    stream->setRoomWait([&](int ms) {
        EXPECT_EQ(ms, 50);
        if (++waits == 3) {
            control.getFromPeerQueue().dequeue(slot);  // the worker catches up
        }
    });
    stream->repRead(readReply("bob:1", controlData("RETR f\r\n")).c_str());
    EXPECT_EQ(waits, 3);
    EXPECT_EQ(capture.count("#WAIT\n"), 3);
    EXPECT_EQ(control.getFromPeerQueue().getCount(), 30);
    EXPECT_TRUE(capture.events.empty());
}

TEST_F(StreamTest, ControlDataThatCannotBeDeliveredClosesTheConnection) {
    Capture capture;
    auto stream = makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    for (int i = 0; i < XR_QUE::kCapacity; ++i) {
        queue(control.getFromPeerQueue(), controlData("x"));
    }
    int waits = 0;
    stream->setRoomWait([&](int) { ++waits; });
    stream->repRead(readReply("bob:1", controlData("RETR f\r\n")).c_str());
    EXPECT_EQ(waits, 100);
    EXPECT_EQ(capture.count("#WAIT\n"), 100);
    ASSERT_EQ(capture.events.size(), 1u);
    EXPECT_EQ(capture.events[0], "0 bobとのFTP接続:localhostとのport=21 QUEFULLを検出");
    // The bare socket has no connection to abort: the manager closes it and
    // the peer is told.
    EXPECT_EQ(fake->calls.back(), "disconnect 21");
    ASSERT_EQ(writes().size(), 1u);
    const auto notice = packetOfWrite(writes()[0]);
    EXPECT_EQ(loadPacketU16(notice.data(), kOffsetKind), kKindControlMessage);
    EXPECT_EQ(loadPacketU16(notice.data(), kOffsetCode), kCodeDisconnectRequest);
    EXPECT_EQ(loadPacketU16(notice.data(), kOffsetPort), 21);

    // Later bytes of that connection are dropped at once, without waiting.
    stream->repRead(readReply("bob:1", controlData("more", 1)).c_str());
    EXPECT_EQ(waits, 100);
    // The next connection is delivered again.
    unsigned char slot[XR_QUE::kSlotBytes];
    control.getFromPeerQueue().dequeue(slot);
    PacketFields reply;
    reply.kind = kKindControlMessage;
    reply.code = kCodeConnectReply;
    reply.result = 1;
    reply.sequence = 2;
    stream->repRead(readReply("bob:1", reply).c_str());
    stream->repRead(readReply("bob:1", controlData("USER demo\r\n", 3)).c_str());
    EXPECT_EQ(control.getFromPeerQueue().getCount(), 30);
}

TEST_F(StreamTest, DataLinkDataThatStaysBlockedEndsTheLink) {
    Capture capture;
    auto stream = makeStream();
    XR_SOCKETTCP& dataLink = fake->giveDataLinkSocket();
    for (int i = 0; i < XR_QUE::kCapacity; ++i) {
        queue(dataLink.getFromPeerQueue(), dataLinkData("x"));
    }
    int waits = 0;
    stream->setRoomWait([&](int) { ++waits; });
    stream->repRead(readReply("bob:1", dataLinkData("block")).c_str());
    EXPECT_EQ(waits, 100);
    EXPECT_EQ(capture.count("#WAIT\n"), 100);
    EXPECT_EQ(capture.count("ERROR "), 500);
    EXPECT_EQ(capture.events,
              std::vector<std::string>{"0 bobとのFTP接続:localhostとのd-port=30000 QUEFULLを検出"});
    EXPECT_EQ(fake->calls.back(), "dlDisconnect 30000");
    ASSERT_EQ(writes().size(), 1u);
    const auto notice = packetOfWrite(writes()[0]);
    EXPECT_EQ(loadPacketU16(notice.data(), kOffsetKind), kKindDataLinkMessage);
    EXPECT_EQ(loadPacketU16(notice.data(), kOffsetCode), kCodeDisconnectRequest);
    EXPECT_EQ(loadPacketU16(notice.data(), kOffsetPort), 30000);

    // No second 5-second wait for the rest of the abandoned link.
    stream->repRead(readReply("bob:1", dataLinkData("next", 1)).c_str());
    EXPECT_EQ(waits, 100);
}

struct BadPacketRow {
    const char* what;
    uint16_t headerLength;
    uint16_t dataLength;
    size_t payloadBytes;
};

void PrintTo(const BadPacketRow& row, std::ostream* os) {
    *os << row.what;
}

class BadPacket : public StreamTest, public ::testing::WithParamInterface<BadPacketRow> {};

TEST_P(BadPacket, NeverReachesAQueue) {
    const BadPacketRow row = GetParam();
    Capture capture;
    auto stream = makeStream();
    XR_SOCKETTCP& control = fake->giveControlSocket();
    auto packet = buildPacket(controlData(std::string(row.payloadBytes, 'a')));
    storePacketU16(packet.data(), kOffsetHeaderLength, row.headerLength);
    storePacketU16(packet.data(), kOffsetDataLength, row.dataLength);
    stream->repRead(("bob:1 " + hexOf(packet)).c_str());
    EXPECT_TRUE(capture.hasTraceContaining("bad packet dropped")) << row.what;
    EXPECT_EQ(control.getFromPeerQueue().getCount(), 0) << row.what;
    EXPECT_EQ(stream->getReceiveSequence(), 0u) << row.what;
}

INSTANTIATE_TEST_SUITE_P(Table, BadPacket,
                         ::testing::Values(BadPacketRow{"header length 41", 41, 4, 4},
                                           BadPacketRow{"header length 39", 39, 4, 4},
                                           BadPacketRow{"data longer than decoded", 40, 100, 10},
                                           BadPacketRow{"larger than a queue slot", 40, 30937,
                                                        30937}));

TEST_F(StreamTest, ReplyLongerThanTheReceiveBufferIsDropped) {
    Capture capture;
    auto stream = makeStream();
    const std::string reply = "bob:1 " + std::string(2 * XR_SKYPESTREAM::kBufferBytes + 2, '0');
    stream->repRead(reply.c_str());
    EXPECT_TRUE(capture.hasTraceContaining("longer than the receive buffer")) << "trace";
    EXPECT_EQ(stream->getReceiveSequence(), 0u);
}

// The rewritten address is the control connection's local address.
TEST_F(StreamTest, PassiveReplyNamesTheControlConnectionsAddress) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    auto control = std::make_unique<XR_SOCKETTCP>();
    control->createClientSocket(21, "127.0.0.1", ntohs(address.sin_port));
    ASSERT_EQ(control->connectClient(), 1);
    XR_SOCKETTCP& socket = *control;
    auto stream = makeStream();
    fake->giveControlSocket(std::move(control));
    fake->dataLinkPort = 50000;

    stream->repRead(
        readReply("bob:1", controlData("227 Entering Passive Mode (10,1,2,3,117,48)\r\n")).c_str());
    EXPECT_EQ(fake->calls.back(), "openDataLink 30000");
    EXPECT_EQ(fake->boundTo, htonl(INADDR_LOOPBACK));
    unsigned char slot[XR_QUE::kSlotBytes];
    ASSERT_EQ(socket.getFromPeerQueue().dequeue(slot), 1);
    const size_t dataLength = loadPacketU16(slot, kOffsetDataLength);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(slot) + 40, dataLength),
              "227 ENTERING PASSIVE MODE (127,0,0,1,195,80)\r\n");
    stream.reset();
    ::close(listener);
}

}  // namespace
