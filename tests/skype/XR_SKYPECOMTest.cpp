// The link's own rules, with a recording transport in the driver's place.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "skype/LinkFixture.h"
#include "skype/RecordingTransport.h"

namespace {
using Calls = std::vector<std::string>;
}

class XR_SKYPECOMTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        link->setTransport(&transport);
        link->addListener(&controller);
        link->addListener(&model);
    }
    RecordingTransport transport;
    RecordingUser controller{"controller", calls};
    RecordingUser model{"model", calls};
};

TEST_F(XR_SKYPECOMTest, ConstructionRegistersBothMessagesAndTracesTheirIds) {
    EXPECT_STREQ(link->getName(), "XR_SKYPECOM");
    EXPECT_EQ(link->getAttachStatus(), 0);
    EXPECT_EQ(link->getAttachMessageId(),
              XR_WINDOW::registerWindowMessage("SkypeControlAPIAttach"));
    EXPECT_NE(link->getAttachMessageId(), link->getDiscoverMessageId());
    char expected[96];
    std::snprintf(expected, sizeof expected,
                  "RegisterWindowMessage(Get SkypeControlAPIDiscover):message=%x\n",
                  link->getDiscoverMessageId());
    // The link of this test may be the first or a later one; the ids are
    // stable, so a new link traces the same text.
    XR_SKYPECOM::releaseInstance();
    traces.clear();
    link = XR_SKYPECOM::getInstance();
    EXPECT_TRUE(traced(expected));
}

struct AttachRow {
    bool attachedBefore;
    long code;
    int status;
    const char* trace;  // nullptr: no CTLAPI trace
};

TEST_F(XR_SKYPECOMTest, AttachStatusTable) {
    const AttachRow rows[] = {
        {false, 0, 1, "CTLAPI->:SKYPECONTROLAPI_ATTACH_SUCCESS, SkypeHandle=5150\n"},
        {false, 1, 2, "CTLAPI->:SKYPECONTROLAPI_ATTACH_PENDING_AUTHORIZATION\n"},
        {true, 1, 1, "CTLAPI->:SKYPECONTROLAPI_ATTACH_PENDING_AUTHORIZATION\n"},
        {false, 2, 3, "CTLAPI->:SKYPECONTROLAPI_ATTACH_REFUSE\n"},
        {false, 3, 4, "CTLAPI->:SKYPECONTROLAPI_ATTCH_NOT_AVAILABLE\n"},
        {false, 0x8001, 0x8001, "CTLAPI->:SKYPECONTROLAPI_ATTCH_API_AVAILABLE\n"},
        {false, 7, 0, nullptr},
        {true, 7, 1, nullptr},
        {true, 2, 3, "CTLAPI->:SKYPECONTROLAPI_ATTACH_REFUSE\n"},
    };
    for (const AttachRow& row : rows) {
        SCOPED_TRACE("code " + std::to_string(row.code) + (row.attachedBefore ? " attached" : ""));
        XR_SKYPECOM::releaseInstance();
        link = XR_SKYPECOM::getInstance();
        link->setTransport(&transport);
        link->addListener(&controller);
        link->addListener(&model);
        if (row.attachedBefore) {
            RecordingTransport::attachLink(link);
        }
        calls.clear();
        traces.clear();
        EXPECT_EQ(link->onAttachMessage(link->getAttachMessageId(),
                                        RecordingTransport::kDriverWindow, row.code),
                  1);
        EXPECT_EQ(link->getAttachStatus(), row.status);
        const std::string s = std::to_string(row.status);
        EXPECT_EQ(calls, (Calls{"controller:status:" + s, "model:status:" + s}));
        size_t ctlapi = 0;
        for (const std::string& t : traces) {
            ctlapi += t.rfind("CTLAPI->:", 0) == 0 ? 1 : 0;
        }
        if (row.trace != nullptr) {
            EXPECT_TRUE(traced(row.trace));
        } else {
            EXPECT_EQ(ctlapi, 0u);
        }
        EXPECT_EQ(traces.back(), "**MSG OWARI\n");
        // Only code 0 makes the driver known; no code forgets it.
        const bool known = row.code == 0 || row.attachedBefore;
        EXPECT_EQ(link->getSkypeWindow(), known ? RecordingTransport::kDriverWindow : 0u);
    }
}

TEST_F(XR_SKYPECOMTest, OtherMessagesAreNotTheAttachMessage) {
    EXPECT_EQ(link->onAttachMessage(link->getDiscoverMessageId(), 1, 0), 0);
    EXPECT_EQ(link->onAttachMessage(windowmsg::kTimer, 1, 0), 0);
    EXPECT_TRUE(calls.empty());
}

TEST_F(XR_SKYPECOMTest, SendBeforeAttachWindowFailsLogsAndTellsEveryListenerInOrder) {
    EXPECT_EQ(link->sendCommand("SEARCH FRIENDS"), 0);
    EXPECT_EQ(transport.commands, (std::vector<std::string>{"SEARCH FRIENDS"}));
    EXPECT_EQ(eventLines,
              (std::vector<std::string>{"2 SkypeDriverへの通知に失敗しました。Skypeは未接続"}));
    EXPECT_EQ(calls, (Calls{"controller:status:0", "model:status:0"}));
    EXPECT_TRUE(traced("Message to skype failure!!! ret=0\n"));
    EXPECT_EQ(link->getAttachStatus(), 0);
}

TEST_F(XR_SKYPECOMTest, SuccessfulSendReturnsTheDriversResultAndTracesTheLine) {
    RecordingTransport::attachLink(link);
    calls.clear();
    transport.result = 7;
    EXPECT_EQ(link->sendCommand("GET CURRENTUSERHANDLE"), 7);
    EXPECT_EQ(transport.byteCounts.back(), 22u);  // the text and its NUL
    EXPECT_TRUE(traced("<-(0): GET CURRENTUSERHANDLE\n"));
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(eventLines.empty());
}

TEST_F(XR_SKYPECOMTest, ALongCommandIsSentWholeAndOnlyItsTraceIsCut) {
    RecordingTransport::attachLink(link);
    const std::string command = "ALTER APPLICATION A WRITE bob:1 " + std::string(900, 'f');
    EXPECT_EQ(link->sendCommand(command.c_str()), 1);
    EXPECT_EQ(transport.commands.back(), command);
    EXPECT_EQ(transport.byteCounts.back(), command.size() + 1);
    EXPECT_TRUE(traced("<-(0): " + command.substr(0, 512) + "\n"));
}

TEST_F(XR_SKYPECOMTest, FailedSendEndsTheAttachmentAndRediscoveryResumesOnTheNextTick) {
    link->attachWindow(0);
    EXPECT_EQ(transport.discovers, 1);  // at once
    EXPECT_TRUE(traced("Message to skype(0):skypeControlAPIDiscover\n"));
    EXPECT_TRUE(traced("●<-broadcastMessage() to skype ret=1\n"));
    clock.advance(XR_SKYPECOM::kRediscoveryPeriodMs - 1);
    loop.runOnce(0);
    EXPECT_EQ(transport.discovers, 1);
    clock.advance(1);
    loop.runOnce(0);
    EXPECT_EQ(transport.discovers, 2);  // every 5 s while no driver is known

    RecordingTransport::attachLink(link);
    clock.advance(XR_SKYPECOM::kRediscoveryPeriodMs);
    loop.runOnce(0);
    EXPECT_EQ(transport.discovers, 2);  // attached: the tick does nothing

    calls.clear();
    transport.result = 0;
    EXPECT_EQ(link->sendCommand("SEARCH FRIENDS"), 0);
    EXPECT_EQ(link->getSkypeWindow(), 0u);
    EXPECT_EQ(calls, (Calls{"controller:status:0", "model:status:0"}));
    EXPECT_EQ(eventLines.size(), 1u);
    clock.advance(XR_SKYPECOM::kRediscoveryPeriodMs);
    loop.runOnce(0);
    EXPECT_EQ(transport.discovers, 3);
}

TEST_F(XR_SKYPECOMTest, TheHiddenWindowIsCreatedOwnedAndNeverShown) {
    link->attachWindow(0x77);
    const WindowHandle own = link->getOwnWindow();
    ASSERT_NE(own, 0u);
    EXPECT_TRUE(XR_WINDOW::isWindow(own));
    EXPECT_FALSE(XR_WINDOW::isWindowVisible(own));
    EXPECT_EQ(XR_WINDOW::getOwner(own), 0x77u);
    EXPECT_EQ(XR_WINDOW::getWindowStyle(own), 0xA0000u);
    int quitCode = -1;
    XR_WINDOW::setQuitHandler([&](int code) { quitCode = code; });
    XR_WINDOW::destroyWindow(own);
    XR_WINDOW::setQuitHandler({});
    EXPECT_TRUE(traced("XR_SKYPECOM::skypeWndProc() WM_DESTROY MESSAGE\n"));
    EXPECT_EQ(quitCode, 0);
    EXPECT_FALSE(XR_WINDOW::isWindow(own));
    // Its timer died with it.
    const int before = transport.discovers;
    clock.advance(XR_SKYPECOM::kRediscoveryPeriodMs);
    loop.runOnce(0);
    EXPECT_EQ(transport.discovers, before);
}

TEST_F(XR_SKYPECOMTest, ALaterLinkReportsTheTakenClassNameAndStillGetsItsWindow) {
    link->attachWindow(0);  // registers the class, unless an earlier test did
    XR_WINDOW::destroyWindow(link->getOwnWindow());
    XR_SKYPECOM::releaseInstance();
    messageBoxes.clear();
    link = XR_SKYPECOM::getInstance();
    link->setTransport(&transport);
    const int before = transport.discovers;
    link->attachWindow(0);
    EXPECT_EQ(messageBoxes,
              (std::vector<std::string>{"SKYPEWINDOW: This program requires Windows NT!"}));
    EXPECT_NE(link->getOwnWindow(), 0u);
    EXPECT_EQ(transport.discovers, before + 1);
    clock.advance(XR_SKYPECOM::kRediscoveryPeriodMs);
    loop.runOnce(0);
    EXPECT_EQ(transport.discovers, before + 2);
}

struct ClassifyRow {
    const char* line;
    const char* call;  // the first listener's call, or "" for none
    bool unsupported;
};

TEST_F(XR_SKYPECOMTest, ClassificationTable) {
    const ClassifyRow rows[] = {
        {"CREATE APPLICATION X", "a2a:CREATE APPLICATION X", false},
        {"DELETE APPLICATION X", "a2a:DELETE APPLICATION X", false},
        {"ALTER APPLICATION X CONNECT bob", "a2a:ALTER APPLICATION X CONNECT bob", false},
        {"APPLICATION X STREAMS bob:1", "a2a:APPLICATION X STREAMS bob:1", false},
        {"CREATED", "a2a:CREATED", false},
        {"CONNSTATUS ONLINE", "", false},
        {"CURRENTUSERHANDLE alice", "currentUser:alice", false},
        {"USERSTATUS ONLINE", "userStatus:ONLINE", false},
        {"USERS a, b", "users:a, b", false},
        {"USERS", "users:", false},
        {"USER x ONLINESTATUS ONLINE", "user:x ONLINESTATUS ONLINE", false},
        {"USER", "user:", false},
        {"CALL 12 STATUS RINGING", "", false},
        {"ERROR 2 Unknown command", "", true},
        {"user x ONLINESTATUS ONLINE", "", true},
        {"PONG", "", true},
        {" USER x", "", true},
    };
    for (const ClassifyRow& row : rows) {
        SCOPED_TRACE(row.line);
        calls.clear();
        traces.clear();
        link->parseNotification(row.line);
        if (row.call[0] == '\0') {
            EXPECT_TRUE(calls.empty());
        } else {
            EXPECT_EQ(calls, (Calls{std::string("controller:") + row.call,
                                    std::string("model:") + row.call}));
        }
        EXPECT_EQ(traced("未サポートの書式\n"), row.unsupported);
        if (!row.unsupported) {
            EXPECT_TRUE(traces.empty());
        }
    }
}

TEST_F(XR_SKYPECOMTest, CopyDataIsTakenOnlyFromTheKnownDriverWindow) {
    const char text[] = "USERS bob";
    CopyDataBlock block;
    block.byteCount = sizeof text;
    block.data = text;
    EXPECT_EQ(link->onCopyData(0, &block), 0);  // no driver known yet
    RecordingTransport::attachLink(link);
    calls.clear();
    traces.clear();
    EXPECT_EQ(link->onCopyData(0x999, &block), 0);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(traces.empty());

    EXPECT_EQ(link->onCopyData(RecordingTransport::kDriverWindow, &block), 1);
    EXPECT_TRUE(traced("->(0): USERS bob\n"));
    EXPECT_EQ(calls, (Calls{"controller:users:bob", "model:users:bob"}));

    // A block with a byte count of 0 is traced and answered, not parsed.
    calls.clear();
    traces.clear();
    CopyDataBlock empty;
    empty.data = text;
    EXPECT_EQ(link->onCopyData(RecordingTransport::kDriverWindow, &empty), 1);
    EXPECT_EQ(traces, (std::vector<std::string>{"->(0): \n"}));
    EXPECT_TRUE(calls.empty());
}

TEST_F(XR_SKYPECOMTest, AReceivedTraceShowsAtMost512Bytes) {
    RecordingTransport::attachLink(link);
    const std::string line = "APPLICATION X RECEIVED " + std::string(700, 'r');
    CopyDataBlock block;
    block.byteCount = static_cast<uint32_t>(line.size() + 1);
    block.data = line.c_str();
    calls.clear();
    link->onCopyData(RecordingTransport::kDriverWindow, &block);
    EXPECT_TRUE(traced("->(0): " + line.substr(0, 512) + "\n"));
    EXPECT_EQ(calls.front(), "controller:a2a:" + line);  // parsed whole
}

TEST_F(XR_SKYPECOMTest, ListenersAreNeverFilteredOrRemoved) {
    link->addListener(&controller);
    link->addListener(nullptr);
    link->parseNotification("USERSTATUS AWAY");
    EXPECT_EQ(calls, (Calls{"controller:userStatus:AWAY", "model:userStatus:AWAY",
                            "controller:userStatus:AWAY"}));
}
