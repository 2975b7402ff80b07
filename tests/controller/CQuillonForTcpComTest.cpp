#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../skype/RecordingTransport.h"
#include "../ui/TempDirectory.h"
#include "controller/CQuillonCom.h"
#include "platform/PollEventLoop.h"
#include "skype/SkypeTransport.h"
#include "skype/XR_SKYPECOM.h"
#include "skype/XR_SKYPEMODEL.h"
#include "support/CPropaty.h"
#include "tunnel/XR_A2AMODEL.h"

namespace {

constexpr WindowHandle kDriverWindow = RecordingTransport::kDriverWindow;

// Records the controller's notifications, with the commands the driver had
// seen at that moment.
class Window : public CQuillonForTcpComListener {
public:
    explicit Window(RecordingTransport& transport) : transport(transport) {}
    void notifyLog(const char* line) override { calls.push_back(std::string("log ") + line); }
    void notifySkypeComStatusChange() override {
        calls.push_back("status");
        commandsAtStatus = transport.commands.size();
    }
    void notifyModelChanged() override { calls.push_back("model"); }
    void notifyA2AModelChanged() override { calls.push_back("a2a"); }
    void notifyA2ATransferRate(int index, double sent, double received) override {
        calls.push_back("rate " + std::to_string(index) + " " + std::to_string(int(sent)) + " " +
                        std::to_string(int(received)));
    }
    RecordingTransport& transport;
    std::vector<std::string> calls;
    size_t commandsAtStatus = 0;
};

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setGuiLoop(&loop);
        controller = std::make_unique<CQuillonCom>();
        XR_SKYPECOM::getInstance()->setTransport(&transport);
    }
    void TearDown() override {
        controller->destroyOwnedWindows();
        controller.reset();
        platform::setGuiLoop(nullptr);
    }
    void attach() {
        XR_SKYPECOM* link = XR_SKYPECOM::getInstance();
        link->onAttachMessage(link->getAttachMessageId(), kDriverWindow, 0);
    }
    void feed(const char* line) { XR_SKYPECOM::getInstance()->parseNotification(line); }

    TempDirectory dir;
    CPropaty settings;  // the process's settings, as the main dialog's member is
    platform::ManualClock clock;
    platform::PollEventLoop loop{clock};
    RecordingTransport transport;
    std::unique_ptr<CQuillonCom> controller;
};

TEST_F(ControllerTest, AttachStatusIsZeroBeforeInit) {
    EXPECT_EQ(controller->getAttachStatus(), 0);
}

TEST_F(ControllerTest, InitRegistersTheControllerFirstAndNamesApplicationZero) {
    Window window(transport);
    controller->addListener(&window);
    controller->init(0x1234);
    EXPECT_EQ(controller->getMainWindow(), 0x1234u);
    EXPECT_EQ(XR_SKYPECOM::getInstance()->getListenerCount(), 3u);
    EXPECT_EQ(XR_SKYPECOM::getInstance()->getParentWindow(), 0x1234u);
    attach();
    EXPECT_EQ(controller->getAttachStatus(), 1);
    // The windows heard of status 1 before the models sent anything.
    EXPECT_EQ(window.calls, std::vector<std::string>{"status"});
    EXPECT_EQ(window.commandsAtStatus, 0u);
    EXPECT_TRUE(transport.hasSent("SEARCH FRIENDS"));
    EXPECT_TRUE(transport.hasSent("CREATE APPLICATION QuillonForFtp2000"));
}

TEST_F(ControllerTest, StatusZeroReachesTheWindowsFirstThenResetsTheModels) {
    Window window(transport);
    controller->addListener(&window);
    controller->init(0x1234);
    attach();
    feed("USERS alice, bob");
    ASSERT_EQ(controller->getContactHandles(), (std::vector<std::string>{"alice", "bob"}));
    window.calls.clear();

    // Pending authorization, refused, not available: passed on only.
    for (int code : {1, 2, 3}) {
        XR_SKYPECOM* link = XR_SKYPECOM::getInstance();
        link->onAttachMessage(link->getAttachMessageId(), kDriverWindow, code);
    }
    EXPECT_EQ(window.calls, (std::vector<std::string>{"status", "status", "status"}));
    EXPECT_EQ(controller->getContactHandles().size(), 2u);

    // A send the driver does not take ends the attachment: status 0. (An
    // attach message naming no window leaves the link without a target.)
    XR_SKYPECOM* link = XR_SKYPECOM::getInstance();
    link->onAttachMessage(link->getAttachMessageId(), 0, 0);
    window.calls.clear();
    link->sendCommand("GET CURRENTUSERHANDLE");
    EXPECT_EQ(controller->getAttachStatus(), 0);
    ASSERT_GE(window.calls.size(), 2u);
    EXPECT_EQ(window.calls.front(), "status");
    EXPECT_EQ(window.calls.back(), "model");  // the user model's reset comes last
    EXPECT_TRUE(controller->getContactHandles().empty());
}

TEST_F(ControllerTest, ForwardsSelectionAndModelQueries) {
    Window window(transport);
    controller->addListener(&window);
    controller->init(0x1234);
    attach();
    feed("USERS alice, bob");
    EXPECT_EQ(controller->getSelectedUserName(), "alice");
    EXPECT_EQ(controller->getSelectedUserStatus(), 1);
    controller->selectNextUser();
    EXPECT_EQ(controller->getSelectedUserName(), "bob");
    controller->selectUser("alice");
    EXPECT_EQ(controller->getSelectedUserName(), "alice");
    ASSERT_NE(controller->getSelectedUser(), nullptr);
    EXPECT_STREQ(controller->getSelectedUser()->handle, "alice");
    EXPECT_EQ(controller->isSelectedUserConnectable(), 0);
    feed("APPLICATION QuillonForFtp2000 CONNECTABLE alice");
    EXPECT_EQ(controller->isSelectedUserConnectable(), 1);
    EXPECT_EQ(controller->hasAnyStream(), 0);
    EXPECT_EQ(controller->hasConnectedStream(0), 0);
    EXPECT_EQ(controller->hasAcceptingStream(7), 0);
    transport.commands.clear();
    controller->connectSelectedUser();
    EXPECT_TRUE(transport.hasSent("ALTER APPLICATION QuillonForFtp2000 CONNECT alice"));
    int modelCalls = 0;
    for (const std::string& c : window.calls) {
        modelCalls += c == "model" ? 1 : 0;
    }
    EXPECT_GE(modelCalls, 4);  // list, next, select, connectable
}

TEST_F(ControllerTest, AListenerRegisteredTwiceHearsEverythingTwice) {
    Window window(transport);
    controller->addListener(&window);
    controller->addListener(&window);
    controller->init(0x1234);
    attach();
    controller->notifyA2ATransferRate(0, 1500, 20);
    controller->notifyA2AModelChanged();
    controller->notifyLog("line");
    EXPECT_EQ(window.calls,
              (std::vector<std::string>{"status", "status", "rate 0 1500 20", "rate 0 1500 20",
                                        "a2a", "a2a", "log line", "log line"}));
}

TEST_F(ControllerTest, DestructionReleasesEveryModel) {
    controller->init(0x1234);
    controller->destroyOwnedWindows();
    controller.reset();
    // A new link starts without listeners: the old one, with the models'
    // registrations, is gone.
    XR_SKYPECOM* linkAfter = XR_SKYPECOM::getInstance();
    EXPECT_EQ(linkAfter->getListenerCount(), 0u);
    XR_SKYPECOM::releaseInstance();
    controller = std::make_unique<CQuillonCom>();
}

}  // namespace
