#include "tunnel/XR_A2AMODEL.h"

#include <gtest/gtest.h>

#include <ostream>

#include "TunnelTestSupport.h"

namespace {

using namespace tunneltest;

class RecordingModelListener : public XR_A2AMODELLISTENER {
public:
    void notifyA2AModelChanged() override { ++changes; }
    void notifyA2ATransferRate(int index, double sent, double received) override {
        rates.push_back({index, sent, received});
    }
    struct Rate {
        int index;
        double sent;
        double received;
    };
    int changes = 0;
    std::vector<Rate> rates;
};

class ModelTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        settings->setEnableUser(1);
        users = XR_SKYPEMODEL::getInstance();
        model = XR_A2AMODEL::getInstance();
        model->addListener(&listener);
        model->setApplicationName(0, "QuillonForFtp2000");
        transport.commands.clear();
    }
    void TearDown() override {
        XR_A2AMODEL::releaseInstance();
        LinkFixture::TearDown();
    }
    void registerApplication() {
        model->notifyConnectStatsuChange(1);
        model->notifyA2Adata("CREATE APPLICATION QuillonForFtp2000");
        transport.commands.clear();
    }
    // One turn of the GUI loop after time moved on by ms.
    void advance(int ms) {
        clock.advance(ms);
        loop.runOnce(0);
    }
    XR_SKYPEMODEL* users = nullptr;
    XR_A2AMODEL* model = nullptr;
    RecordingModelListener listener;
};

TEST_F(ModelTest, EveryStatusOneRegistersAgain) {
    model->notifyConnectStatsuChange(1);
    model->notifyConnectStatsuChange(2);
    model->notifyConnectStatsuChange(1);
    EXPECT_EQ(transport.commands,
              (std::vector<std::string>{"CREATE APPLICATION QuillonForFtp2000",
                                        "CREATE APPLICATION QuillonForFtp2000"}));
}

TEST_F(ModelTest, TheLinkDeliversToTheModel) {
    // Through the link's own classification, as the driver's lines arrive.
    users->notifyUsers("bob");
    link->parseNotification("APPLICATION QuillonForFtp2000 STREAMS bob:1");
    EXPECT_EQ(model->hasAnyStream(), 1);
    EXPECT_EQ(listener.changes, 1);
}

struct RouteRow {
    const char* line;
    int createReplyTraces;  // slots asked with a CREATE line
    const char* trace;      // expected trace, nullptr: none at all from the model
    int streams;            // slots of application 0 afterwards
};

void PrintTo(const RouteRow& row, std::ostream* os) {
    *os << row.line;
}

class Routing : public ModelTest, public ::testing::WithParamInterface<RouteRow> {};

TEST_P(Routing, LinesReachTheSlotTheyName) {
    const RouteRow& row = GetParam();
    model->createA2AApplication();
    Capture capture;
    model->notifyA2Adata(row.line);
    int asked = 0;
    for (const auto& t : capture.traces) {
        asked += t.rfind("XR_SKYPEAPPLICATION::replyCreateApplication(", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(asked, row.createReplyTraces) << row.line;
    if (row.trace == nullptr) {
        EXPECT_EQ(capture.traces.size(), static_cast<size_t>(asked)) << row.line;
    } else {
        EXPECT_EQ(capture.count(row.trace), 1) << row.line;
    }
    EXPECT_EQ(model->getApplication(0).getSlotCount(), static_cast<size_t>(row.streams))
        << row.line;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Routing,
    ::testing::Values(
        RouteRow{"CREATE APPLICATION QuillonForFtp2000", 1, "CREATE REPLY OK \n", 0},
        RouteRow{"CREATE APPLICATION Other", 5, nullptr, 0},
        RouteRow{"DELETE APPLICATION QuillonForFtp2000", 0, nullptr, 0},
        RouteRow{"APPLICATION OtherApp STREAMS bob:1", 0, nullptr, 0},
        RouteRow{"ALTER USER x", 0, "XR_A2AMODEL::notifyA2Adata():未サポート書式：ALTER USER x\n",
                 0},
        RouteRow{"ALTER", 0, "XR_A2AMODEL::notifyA2Adata():未サポート書式：ALTER\n", 0},
        RouteRow{"ALTER APPLICATION OtherApp READ bob:1 00", 0, nullptr, 0},
        RouteRow{"APPLICATION QuillonForFtp2000", 0, "書式エラー：ここにはこないはず\n", 0},
        RouteRow{"APPLICATION :x", 0, nullptr, 0},
        RouteRow{"HELLO there", 0, "XR_A2AMODEL::notifyA2Adata():未サポート書式：HELLO there\n",
                 0}));

TEST_F(ModelTest, CreateLineIsOfferedUntilOneSlotTakesIt) {
    model->createA2AApplication();
    Capture capture;
    model->notifyA2Adata("CREATE APPLICATION QuillonForFtp2000");
    EXPECT_EQ(model->getApplication(0).getState(), 1);
    EXPECT_EQ(transport.commands.back(), "GET APPLICATION QuillonForFtp2000 CONNECTABLE");
}

TEST_F(ModelTest, ApplicationLinesCarryTheirRest) {
    users->notifyUsers("bob, carol");
    model->notifyA2Adata("APPLICATION QuillonForFtp2000 CONNECTABLE bob");
    EXPECT_EQ(users->getFriend(0)->connectable[0], 1);
    EXPECT_EQ(users->getFriend(1)->connectable[0], 0);
    EXPECT_EQ(users->isSelectedUserConnectable(), 1);

    model->notifyA2Adata("APPLICATION QuillonForFtp2000 STREAMS bob:1");
    ASSERT_EQ(model->getApplication(0).getSlotCount(), 1u);
    model->notifyA2Adata(
        ("ALTER APPLICATION QuillonForFtp2000 READ " + readReply("bob:1", PacketFields{})).c_str());
    EXPECT_EQ(model->getApplication(0).getStream(0)->getReceiveSequence(), 1u);
}

TEST_F(ModelTest, StatusZeroLeavesTheApplicationsAlone) {
    users->notifyUsers("bob");
    model->notifyA2Adata("APPLICATION QuillonForFtp2000 STREAMS bob:1");
    model->notifyConnectStatsuChange(0);
    EXPECT_EQ(model->hasAnyStream(), 1);
    model->closeAllStreams();  // the front end's call on status 0
    EXPECT_EQ(model->hasAnyStream(), 0);
    // One for the new stream, then one from each application as it closes.
    EXPECT_EQ(listener.changes, 1 + XR_A2AMODEL::kApplicationCount);
}

TEST_F(ModelTest, QueriesBoundTheirIndex) {
    for (int index : {-1, 5, 100}) {
        EXPECT_EQ(model->hasAcceptingStream(index), 0) << index;
        EXPECT_EQ(model->hasConnectedStream(index), 0) << index;
        EXPECT_EQ(model->hasPeerConnectedStream(index), 0) << index;
    }
    EXPECT_EQ(model->hasConnectedStream(0), 0);
}

TEST_F(ModelTest, ConnectSelectedUser) {
    model->connectSelectedUser();  // no contacts: nothing
    EXPECT_TRUE(transport.commands.empty());

    users->notifyUsers("bob, carol");
    transport.commands.clear();
    model->connectSelectedUser();
    EXPECT_EQ(transport.commands,
              std::vector<std::string>{"ALTER APPLICATION QuillonForFtp2000 CONNECT bob"});

    model->notifyA2Adata("APPLICATION QuillonForFtp2000 STREAMS bob:1");
    transport.commands.clear();
    model->connectSelectedUser();  // a stream to bob exists already
    EXPECT_TRUE(transport.commands.empty());

    model->disconnectAll();
    EXPECT_EQ(transport.commands,
              std::vector<std::string>{"ALTER APPLICATION QuillonForFtp2000 DISCONNECT bob:1"});
}

TEST_F(ModelTest, PumpAndTrafficTimersRunOnTheGuiLoop) {
    users->notifyUsers("bob");
    registerApplication();
    model->notifyA2Adata("APPLICATION QuillonForFtp2000 STREAMS bob:1");
    XR_SKYPESTREAM* stream = model->getApplication(0).getStream(0);
    stream->setBytesSent(10);
    stream->setBytesReceived(20);

    // 301 pump ticks of 20 ms: one connectable query; 6020 ms: six traffic reports.
    for (int i = 0; i < 301; ++i) {
        advance(XR_A2AMODEL::kPumpPeriodMs);
    }
    int queries = 0;
    for (const auto& c : transport.commands) {
        queries += c == "GET APPLICATION QuillonForFtp2000 CONNECTABLE" ? 1 : 0;
    }
    EXPECT_EQ(queries, 1);
    ASSERT_EQ(listener.rates.size(), 6u);
    EXPECT_EQ(listener.rates[0].index, 0);
    EXPECT_EQ(listener.rates[0].sent, 10.0);
    EXPECT_EQ(listener.rates[0].received, 20.0);
    EXPECT_EQ(listener.rates[1].sent, 0.0);
}

TEST_F(ModelTest, ReleaseStopsTheTimers) {
    XR_A2AMODEL::releaseInstance();
    clock.advance(5000);
    EXPECT_EQ(loop.runOnce(0), 0);       // no pump, no traffic tick left
    model = XR_A2AMODEL::getInstance();  // for TearDown
}

}  // namespace
