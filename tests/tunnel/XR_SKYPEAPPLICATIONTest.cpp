#include "tunnel/XR_SKYPEAPPLICATION.h"

#include <gtest/gtest.h>

#include <ostream>

#include "TunnelTestSupport.h"

namespace {

using namespace tunneltest;

constexpr const char* kApp = "QuillonForFtp2000";

class RecordingListener : public XR_SKYPEAPPLICATIONLISTENER {
public:
    void notifyStreamChange() override { ++changes; }
    void notifyTraffic(int index, double sent, double received) override {
        traffic.push_back({index, sent, received});
    }
    struct Traffic {
        int index;
        double sent;
        double received;
    };
    int changes = 0;
    std::vector<Traffic> traffic;
};

class ApplicationTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        settings->setEnableUser(1);  // any contact may open a stream
        XR_SKYPEMODEL::getInstance()->notifyUsers("bob, carol");
        app.setIndex(0);
        app.setApplicationName(kApp);
        app.addListener(&listener);
        transport.commands.clear();
    }
    void TearDown() override {
        app.closeAllStreams();
        LinkFixture::TearDown();
    }
    // The stream keys of the table, "" for an empty slot.
    std::vector<std::string> keys() const {
        std::vector<std::string> result;
        for (size_t i = 0; i < app.getSlotCount(); ++i) {
            XR_SKYPESTREAM* s = app.getStream(i);
            result.push_back(s == nullptr ? ""
                                          : std::string(s->getPeerUser()) + ":" +
                                                std::to_string(s->getStreamId()));
        }
        return result;
    }
    XR_SKYPEAPPLICATION app;
    RecordingListener listener;
};

struct StreamsRow {
    const char* what;
    std::vector<std::string> before;  // notifications applied first
    std::string line;
    std::vector<std::string> keys;
    std::vector<std::string> commands;
    std::vector<std::string> events;
    int changes;
};

void PrintTo(const StreamsRow& row, std::ostream* os) {
    *os << row.what;
}

class StreamsTable : public ApplicationTest, public ::testing::WithParamInterface<StreamsRow> {};

TEST_P(StreamsTable, ReconcilesTheStreamList) {
    const StreamsRow& row = GetParam();
    for (const auto& line : row.before) {
        app.application(line.c_str());
    }
    transport.commands.clear();
    listener.changes = 0;
    Capture capture;
    app.application(row.line.c_str());
    EXPECT_EQ(keys(), row.keys) << row.what;
    EXPECT_EQ(transport.commands, row.commands) << row.what;
    EXPECT_EQ(capture.events, row.events) << row.what;
    EXPECT_EQ(listener.changes, row.changes) << row.what;
}

const std::string kBobOpen = "2 ＦＴＰ用 Skype STREAM は bob と　ID=1 で接続";

INSTANTIATE_TEST_SUITE_P(
    Table, StreamsTable,
    ::testing::Values(
        StreamsRow{"one acceptable stream", {}, "STREAMS bob:1", {"bob:1"}, {}, {kBobOpen}, 1},
        StreamsRow{"second stream refused",
                   {},
                   "STREAMS bob:1 carol:2",
                   {"bob:1"},
                   {"ALTER APPLICATION QuillonForFtp2000 DISCONNECT carol:2"},
                   {kBobOpen, "2 ＦＴＰ用 Skype STREAM は carol と　ID=2 を切断(拒否）"},
                   1},
        StreamsRow{"comma list",
                   {},
                   "STREAMS bob:1,carol:2",
                   {"bob:1"},
                   {"ALTER APPLICATION QuillonForFtp2000 DISCONNECT carol:2"},
                   {kBobOpen, "2 ＦＴＰ用 Skype STREAM は carol と　ID=2 を切断(拒否）"},
                   1},
        StreamsRow{"empty list closes all",
                   {"STREAMS bob:1"},
                   "STREAMS",
                   {},
                   {},
                   {"2 ＦＴＰ用 Skype STREAM は bob と　ID=1 を切断"},
                   1},
        StreamsRow{"empty list on an empty table", {}, "STREAMS", {}, {}, {}, 1},
        StreamsRow{"single-stream rule",
                   {"STREAMS bob:1"},
                   "STREAMS bob:2",
                   {""},
                   {"ALTER APPLICATION QuillonForFtp2000 DISCONNECT bob:2"},
                   {"2 ＦＴＰ用 Skype STREAM は bob と　ID=2 を切断(拒否）",
                    "2 ＦＴＰ用 Skype STREAM は bob と　ID=1 を切断"},
                   1},
        StreamsRow{"an emptied slot still counts",
                   {"STREAMS bob:1", "STREAMS bob:2"},
                   "STREAMS bob:3",
                   {""},
                   {"ALTER APPLICATION QuillonForFtp2000 DISCONNECT bob:3"},
                   {"2 ＦＴＰ用 Skype STREAM は bob と　ID=3 を切断(拒否）"},
                   0},
        StreamsRow{"no colon is an empty list",
                   {"STREAMS bob:1"},
                   "STREAMS bob",
                   {},
                   {},
                   {"2 ＦＴＰ用 Skype STREAM は bob と　ID=1 を切断"},
                   1},
        StreamsRow{"empty user name",
                   {},
                   "STREAMS :1",
                   {},
                   {"ALTER APPLICATION QuillonForFtp2000 DISCONNECT :1"},
                   {"2 ＦＴＰ用 Skype STREAM は  と　ID=1 を切断(拒否）"},
                   0},
        StreamsRow{"not a contact",
                   {},
                   "STREAMS dave:4",
                   {},
                   {"ALTER APPLICATION QuillonForFtp2000 DISCONNECT dave:4"},
                   {"2 ＦＴＰ用 Skype STREAM は dave と　ID=4 を切断(拒否）"},
                   0},
        StreamsRow{"known stream stays", {"STREAMS bob:1"}, "STREAMS bob:1", {"bob:1"}, {}, {}, 0},
        StreamsRow{"malformed entry abandons the list", {}, "STREAMS bob:1 carol", {}, {}, {}, 0}),
    [](const ::testing::TestParamInfo<StreamsRow>& info) {
        return "row" + std::to_string(info.index);
    });

TEST_F(ApplicationTest, MalformedListChangesNothingAndTraces) {
    app.application("STREAMS bob:1");
    Capture capture;
    app.application("STREAMS bob:1 carol");
    EXPECT_EQ(keys(), std::vector<std::string>{"bob:1"});
    EXPECT_EQ(capture.count(
                  "XR_SKYPEAPPLICATION::application(STREAMS bob:1 carol)書式エラーユーザ名なし\n"),
              1);
}

TEST_F(ApplicationTest, StreamsFromAnUnselectedContactNeedEnableUser) {
    settings->setEnableUser(0);  // only the selected contact (bob)
    app.application("STREAMS carol:5");
    EXPECT_TRUE(keys().empty());
    EXPECT_EQ(transport.commands.back(), "ALTER APPLICATION QuillonForFtp2000 DISCONNECT carol:5");
    app.application("STREAMS bob:6");
    EXPECT_EQ(keys(), std::vector<std::string>{"bob:6"});
}

// Each STREAMS notification repeats the whole list: a stream refused once is
// not asked to close again on every later list (a burst of streams would
// otherwise cost a command per entry per list).
TEST_F(ApplicationTest, RefusedStreamIsDisconnectedOnce) {
    app.application("STREAMS bob:1");
    transport.commands.clear();
    std::string list = "STREAMS bob:1";
    constexpr int kBurst = 63;
    for (int id = 2; id <= kBurst; ++id) {
        list += " carol:" + std::to_string(id);
        app.application(list.c_str());
    }
    ASSERT_EQ(transport.commands.size(), static_cast<size_t>(kBurst - 1));
    for (int id = 2; id <= kBurst; ++id) {
        EXPECT_EQ(transport.commands[static_cast<size_t>(id - 2)],
                  "ALTER APPLICATION QuillonForFtp2000 DISCONNECT carol:" + std::to_string(id));
    }
    EXPECT_EQ(keys(), std::vector<std::string>{"bob:1"}) << "the honest stream stays";
    // Once the driver drops them, a stream with a known id is new again.
    app.application("STREAMS bob:1");
    transport.commands.clear();
    app.application("STREAMS bob:1 carol:2");
    EXPECT_EQ(transport.commands,
              std::vector<std::string>{"ALTER APPLICATION QuillonForFtp2000 DISCONNECT carol:2"});
}

// A Client carries its own user's FTP session: only the selected contact's
// stream is taken, whatever ENABLEUSER says.
TEST_F(ApplicationTest, ClientAcceptsOnlyTheSelectedContact) {
    settings->setAppMode(1);
    settings->setEnableUser(1);
    app.application("STREAMS carol:5");  // bob is selected
    EXPECT_TRUE(keys().empty());
    EXPECT_EQ(transport.commands.back(), "ALTER APPLICATION QuillonForFtp2000 DISCONNECT carol:5");
    app.application("STREAMS bob:6");
    EXPECT_EQ(keys(), std::vector<std::string>{"bob:6"});
}

TEST_F(ApplicationTest, SendingResumesOnlyOnAnEmptyList) {
    Capture capture;
    app.application("STREAMS bob:1");
    XR_SKYPESTREAM* stream = app.getStream(0);
    stream->sendNullPacket();
    ASSERT_EQ(stream->getWriteReady(), 0);
    app.application("SENDING bob:1=120");
    EXPECT_EQ(stream->getWriteReady(), 0);
    EXPECT_EQ(capture.count("XR_SKYPESTREAM::repSending(120)\n"), 1);
    app.application("SENDING");
    EXPECT_EQ(stream->getWriteReady(), 1);
    EXPECT_EQ(capture.count("!!STREAM SENDING ALL CLEAR DETECT!\n"), 1);
    app.application("SENDING bob=3");
    EXPECT_EQ(
        capture.count("XR_SKYPEAPPLICATION::application(SENDING bob=3)書式エラーユーザ名なし\n"),
        1);
}

TEST_F(ApplicationTest, ReceivedReadsTheFirstEntryOnly) {
    struct Row {
        const char* line;
        std::vector<std::string> commands;
        const char* trace;
    } rows[] = {
        {"RECEIVED bob:1=120 carol:2=50",
         {"ALTER APPLICATION QuillonForFtp2000 READ bob:1"},
         nullptr},
        {"RECEIVED carol:2=50", {"ALTER APPLICATION QuillonForFtp2000 READ carol:2"}, nullptr},
        {"RECEIVED", {}, "XR_SKYPEAPPLICATION::application() RECEIVE SEQ COMLETE!\n"},
        {"RECEIVED bob:1", {}, "書式エラー\n"},
        {"RECEIVED bob=5", {}, "書式エラー:APPLICATION RECEIVED RECEIVED bob=5\n"},
    };
    for (const Row& row : rows) {
        Capture capture;
        transport.commands.clear();
        app.application(row.line);
        EXPECT_EQ(transport.commands, row.commands) << row.line;
        if (row.trace != nullptr) {
            EXPECT_EQ(capture.count(row.trace), 1) << row.line;
        }
    }
}

TEST_F(ApplicationTest, ReadRepliesReachEveryStream) {
    settings->setAppMode(0);
    app.application("STREAMS bob:1");
    app.replyAlterApplication(("READ " + readReply("bob:1", PacketFields{})).c_str());
    EXPECT_EQ(app.getStream(0)->getReceiveSequence(), 1u);

    Capture capture;
    app.connect("bob");
    EXPECT_EQ(transport.commands.back(), "ALTER APPLICATION QuillonForFtp2000 CONNECT bob");
    app.replyAlterApplication("CONNECT bob");
    EXPECT_EQ(capture.count("CONNECT REPLY OK\n"), 1);
    app.replyAlterApplication("WRITE bob:1");  // nothing to do
    EXPECT_EQ(app.getStream(0)->getReceiveSequence(), 1u);
}

TEST_F(ApplicationTest, OtherNotifications) {
    Capture capture;
    app.application("CONNECTABLE bob carol");
    EXPECT_EQ(XR_SKYPEMODEL::getInstance()->getFriend(0)->connectable[0], 1);
    EXPECT_EQ(XR_SKYPEMODEL::getInstance()->getFriend(1)->connectable[0], 1);
    app.application("CONNECTABLE");
    EXPECT_EQ(XR_SKYPEMODEL::getInstance()->getFriend(0)->connectable[0], 0);
    app.application("CONNECTING bob");
    EXPECT_EQ(capture.count("APPLICATION appname CONNECTING メッセージを受信しました\n"), 1);
    app.application("DATAGRAM bob:1=hello there");
    EXPECT_FALSE(capture.hasTraceContaining("APPLICATION DATAGRAM"));
    app.application("DATAGRAM bob");
    EXPECT_EQ(capture.count("書式エラー:APPLICATION DATAGRAM DATAGRAM bob\n"), 1);
    app.application("NONSENSE");
    EXPECT_EQ(capture.count("書式エラー：ここにはこないはず\n"), 1);
    EXPECT_TRUE(transport.commands.empty());
}

TEST_F(ApplicationTest, RegistrationAndItsReply) {
    Capture capture;
    app.createApplication();
    EXPECT_EQ(transport.commands, std::vector<std::string>{"CREATE APPLICATION QuillonForFtp2000"});
    EXPECT_EQ(app.replyCreateApplication("CREATE APPLICATION QuillonForFtp200X"), 0);
    EXPECT_EQ(app.getState(), 0);
    EXPECT_EQ(app.replyCreateApplication("CREATE APPLICATION QuillonForFtp2000"), 1);
    EXPECT_EQ(app.getState(), 1);
    EXPECT_EQ(capture.count("CREATE REPLY OK \n"), 1);
    EXPECT_EQ(transport.commands.back(), "GET APPLICATION QuillonForFtp2000 CONNECTABLE");
}

TEST_F(ApplicationTest, ConnectableQueryEvery301TicksWhileRegistered) {
    app.createApplication();
    app.replyCreateApplication("CREATE APPLICATION QuillonForFtp2000");
    transport.commands.clear();
    std::vector<int> queryTicks;
    for (int tick = 1; tick <= 903; ++tick) {
        const size_t before = transport.commands.size();
        app.onTimer();
        if (transport.commands.size() != before) {
            queryTicks.push_back(tick);
        }
    }
    EXPECT_EQ(queryTicks, (std::vector<int>{301, 602, 903}));
    // closeAllStreams unregisters and starts the count again: no query.
    app.closeAllStreams();
    transport.commands.clear();
    for (int tick = 1; tick <= 400; ++tick) {
        app.onTimer();
    }
    EXPECT_TRUE(transport.commands.empty());
}

TEST_F(ApplicationTest, TrafficReportSumsAndClearsTheCounters) {
    app.application("STREAMS bob:1");
    XR_SKYPESTREAM* stream = app.getStream(0);
    stream->setBytesSent(1200);
    stream->setBytesReceived(345);
    app.reportTraffic();
    ASSERT_EQ(listener.traffic.size(), 1u);
    EXPECT_EQ(listener.traffic[0].index, 0);
    EXPECT_EQ(listener.traffic[0].sent, 1200.0);
    EXPECT_EQ(listener.traffic[0].received, 345.0);
    EXPECT_EQ(stream->getBytesSent(), 0);
    app.reportTraffic();
    EXPECT_EQ(listener.traffic[1].sent, 0.0);
}

TEST_F(ApplicationTest, CloseAllStreamsCancelsAndEmptiesTheTable) {
    app.application("STREAMS bob:1");
    listener.changes = 0;
    Capture capture;
    app.disconnectStreams();
    EXPECT_EQ(transport.commands.back(), "ALTER APPLICATION QuillonForFtp2000 DISCONNECT bob:1");
    EXPECT_EQ(app.getSlotCount(), 1u);  // until the driver's list says so
    app.closeAllStreams();
    EXPECT_EQ(app.getSlotCount(), 0u);
    EXPECT_EQ(app.getState(), 0);
    EXPECT_EQ(capture.events,
              std::vector<std::string>{"2 ＦＴＰ用 Skype STREAM は bob と　ID=1 をキャンセル"});
    EXPECT_EQ(listener.changes, 1);
}

TEST_F(ApplicationTest, QueriesWithoutSockets) {
    app.application("STREAMS bob:1");
    EXPECT_EQ(app.hasStream("bob"), 1);
    EXPECT_EQ(app.hasStream("carol"), 0);
    EXPECT_EQ(app.isControlAccepting(), 0);
    EXPECT_EQ(app.isControlConnected(), 0);
    EXPECT_EQ(app.isPeerControlConnected(), 0);
}

TEST_F(ApplicationTest, UnnamedSlotStaysSilent) {
    XR_SKYPEAPPLICATION unnamed;
    RecordingListener silent;
    unnamed.addListener(&silent);
    unnamed.createApplication();
    EXPECT_EQ(unnamed.replyCreateApplication(""), 0);
    EXPECT_EQ(unnamed.replyCreateApplication("CREATE APPLICATION "), 0);
    unnamed.application("STREAMS bob:1");
    unnamed.connect("bob");
    for (int i = 0; i < 400; ++i) {
        unnamed.onTimer();
    }
    unnamed.reportTraffic();
    EXPECT_TRUE(transport.commands.empty());
    EXPECT_EQ(unnamed.getSlotCount(), 0u);
    EXPECT_TRUE(silent.traffic.empty());
    EXPECT_EQ(silent.changes, 0);
}

TEST(ApplicationDisplayName, FullWidthNamesBySlot) {
    EXPECT_STREQ(XR_SKYPEAPPLICATION::displayName(0), "ＦＴＰ");
    EXPECT_STREQ(XR_SKYPEAPPLICATION::displayName(1), "設定１");
    EXPECT_STREQ(XR_SKYPEAPPLICATION::displayName(4), "設定４");
    EXPECT_STREQ(XR_SKYPEAPPLICATION::displayName(5), "");
}

}  // namespace
