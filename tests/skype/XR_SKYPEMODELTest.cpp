// The user model fed by notification lines through the link, with a
// recording transport in the driver's place.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "skype/LinkFixture.h"
#include "skype/RecordingTransport.h"
#include "skype/XR_SKYPEMODEL.h"
#include "support/CPropaty.h"

namespace {
using Sent = std::vector<std::string>;

class CountingListener : public MODELLISTENER {
public:
    void notifyModelChanged() override { ++changes; }
    int changes = 0;
};
}  // namespace

class XR_SKYPEMODELTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        link->setTransport(&transport);
        model = XR_SKYPEMODEL::getInstance();
        model->addListener(&listener);
    }
    void TearDown() override {
        XR_SKYPEMODEL::releaseInstance();
        LinkFixture::TearDown();
    }

    // Attached, with the contact list alice, bob, carol; nothing recorded yet.
    void withContacts() {
        RecordingTransport::attachLink(link);
        link->parseNotification("USERS alice, bob, carol");
        transport.commands.clear();
        listener.changes = 0;
    }

    std::vector<std::string> handles() const {
        std::vector<std::string> out;
        for (int i = 0; i < model->getFriendCount(); ++i) {
            out.emplace_back(model->getFriend(i)->handle);
        }
        return out;
    }

    CPropaty settings;
    RecordingTransport transport;
    XR_SKYPEMODEL* model = nullptr;
    CountingListener listener;
};

TEST_F(XR_SKYPEMODELTest, AttachAsksForContactsAndTheListFillsInOrderThenEachIsQueried) {
    EXPECT_STREQ(model->getName(), "XR_SKYPEMODEL");
    RecordingTransport::attachLink(link);
    EXPECT_EQ(transport.commands, (Sent{"SEARCH FRIENDS"}));
    transport.commands.clear();

    link->parseNotification("USERS alice, bob, carol");
    EXPECT_EQ(handles(), (std::vector<std::string>{"alice", "bob", "carol"}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(model->getFriend(i)->onlineStatus, 1);
    }
    EXPECT_STREQ(model->getSelectedUser()->handle, "alice");
    EXPECT_EQ(listener.changes, 1);
    EXPECT_EQ(transport.commands, (Sent{"GET USER alice ONLINESTATUS", "GET USER bob ONLINESTATUS",
                                    "GET USER carol ONLINESTATUS", "GET CURRENTUSERHANDLE"}));
}

TEST_F(XR_SKYPEMODELTest, EveryStatusOneRebuildsTheListAndSelectsTheFirstAgain) {
    withContacts();
    model->selectNextUser();
    link->parseNotification("USER bob ONLINESTATUS ONLINE");
    RecordingTransport::attachLink(link);
    EXPECT_EQ(transport.commands, (Sent{"SEARCH FRIENDS"}));
    link->parseNotification("USERS bob, dave");
    EXPECT_EQ(handles(), (std::vector<std::string>{"bob", "dave"}));
    EXPECT_EQ(model->getSelectedIndex(), 0);
    EXPECT_EQ(model->getFriend(0)->onlineStatus, 1);
    // Other statuses ask for nothing.
    transport.commands.clear();
    link->onAttachMessage(link->getAttachMessageId(), RecordingTransport::kDriverWindow, 2);
    EXPECT_TRUE(transport.commands.empty());
}

TEST_F(XR_SKYPEMODELTest, AnEmptyListGivesOneEntryWithAnEmptyHandle) {
    RecordingTransport::attachLink(link);
    link->parseNotification("USERS");
    EXPECT_EQ(handles(), (std::vector<std::string>{""}));
}

TEST_F(XR_SKYPEMODELTest, HandlesAreCutTo49Characters) {
    RecordingTransport::attachLink(link);
    const std::string longName(60, 'h');
    link->parseNotification(("USERS " + longName).c_str());
    EXPECT_EQ(std::string(model->getFriend(0)->handle), longName.substr(0, 49));
}

struct OnlineRow {
    const char* value;
    int status;
};

TEST_F(XR_SKYPEMODELTest, OnlineStatusValues) {
    const OnlineRow rows[] = {
        {"ONLINE", 2},  {"AWAY", 2},    {"NA", 2},      {"DND", 2},
        {"SKYPEME", 2}, {"OFFLINE", 1}, {"UNKNOWN", 1}, {"OFFLINE_X", 1},
    };
    withContacts();
    for (const OnlineRow& row : rows) {
        SCOPED_TRACE(row.value);
        link->parseNotification("USER bob ONLINESTATUS ONLINE");
        link->parseNotification((std::string("USER bob ONLINESTATUS ") + row.value).c_str());
        EXPECT_EQ(model->getFriend(1)->onlineStatus, row.status);
        EXPECT_EQ(model->getFriend(0)->onlineStatus, 1);
    }
    EXPECT_EQ(listener.changes, 0);  // online status is not a model change
    // A user that is not listed changes nothing.
    link->parseNotification("USER zed ONLINESTATUS ONLINE");
    EXPECT_EQ(model->getFriendCount(), 3);
}

TEST_F(XR_SKYPEMODELTest, TheSignedInUsersOwnStatusIsIgnored) {
    withContacts();
    link->parseNotification("CURRENTUSERHANDLE bob");
    EXPECT_STREQ(model->getCurrentUser(), "bob");
    EXPECT_TRUE(traced("XR_SKYPEMODEL::notifyCurrentUser(bob)\n"));
    link->parseNotification("USER bob ONLINESTATUS ONLINE");
    EXPECT_EQ(model->getFriend(1)->onlineStatus, 1);
    EXPECT_EQ(listener.changes, 0);
}

TEST_F(XR_SKYPEMODELTest, LinesMissingAPropertyOrValueChangeNothing) {
    withContacts();
    for (const char* line : {"USER bob", "USER bob ONLINESTATUS", "USER", "USER  "}) {
        SCOPED_TRACE(line);
        link->parseNotification(line);
        EXPECT_EQ(model->getFriendCount(), 3);
        EXPECT_EQ(model->getFriend(1)->onlineStatus, 1);
    }
}

TEST_F(XR_SKYPEMODELTest, BuddyStatusThreeAddsANewContactOnce) {
    withContacts();
    link->parseNotification("USER dave BUDDYSTATUS 3");
    EXPECT_EQ(handles(), (std::vector<std::string>{"alice", "bob", "carol", "dave"}));
    EXPECT_EQ(model->getFriend(3)->onlineStatus, 1);
    link->parseNotification("USER dave BUDDYSTATUS 3");
    link->parseNotification("USER erin BUDDYSTATUS 2");
    link->parseNotification("USER bob BUDDYSTATUS 3");
    EXPECT_EQ(model->getFriendCount(), 4);
    EXPECT_EQ(listener.changes, 0);
    EXPECT_TRUE(transport.commands.empty());
}

TEST_F(XR_SKYPEMODELTest, SetConnectableMarksOneApplicationIndexOnly) {
    withContacts();
    model->setConnectable(1, "alice");
    model->setConnectable(0, "bob carol");
    EXPECT_EQ(model->getFriend(0)->connectable[0], 0);
    EXPECT_EQ(model->getFriend(1)->connectable[0], 1);
    EXPECT_EQ(model->getFriend(2)->connectable[0], 1);
    EXPECT_EQ(model->getFriend(0)->connectable[1], 1);  // index 1 untouched
    EXPECT_EQ(model->isSelectedUserConnectable(), 1);   // alice, through index 1
    model->setConnectable(1, "");
    EXPECT_EQ(model->isSelectedUserConnectable(), 0);
    model->setConnectable(0, "carol");
    EXPECT_EQ(model->getFriend(1)->connectable[0], 0);
    EXPECT_EQ(listener.changes, 4);
    model->setConnectable(5, "alice");  // no such index: ignored
    model->setConnectable(-1, "alice");
    EXPECT_EQ(listener.changes, 4);
}

TEST_F(XR_SKYPEMODELTest, IsAcceptableFollowsEnableUser) {
    withContacts();
    settings.setEnableUser(0);
    EXPECT_EQ(model->isAcceptable("alice"), 1);  // the selected contact
    EXPECT_EQ(model->isAcceptable("bob"), 0);    // listed, but not selected
    settings.setEnableUser(1);
    EXPECT_EQ(model->isAcceptable("bob"), 1);
    EXPECT_EQ(model->isAcceptable("zed"), 0);
    EXPECT_EQ(model->isFriend("carol"), 1);
    EXPECT_EQ(model->isSelectedUser("carol"), 0);
}

TEST_F(XR_SKYPEMODELTest, SelectionWrapsAndAnUnknownNameLeavesItButStillTells) {
    withContacts();
    model->selectUser("carol");
    EXPECT_EQ(model->getSelectedIndex(), 2);
    model->selectNextUser();
    EXPECT_EQ(model->getSelectedIndex(), 0);
    model->selectUser("zed");
    EXPECT_EQ(model->getSelectedIndex(), 0);
    model->selectUser("bo");  // whole names only
    EXPECT_EQ(model->getSelectedIndex(), 0);
    EXPECT_EQ(listener.changes, 4);
    link->parseNotification("USER bob ONLINESTATUS AWAY");
    model->selectUser("bob");
    EXPECT_EQ(model->getSelectedUserStatus(), 2);
}

TEST_F(XR_SKYPEMODELTest, ResetForgetsEverythingAndTells) {
    withContacts();
    link->parseNotification("CURRENTUSERHANDLE me");
    model->selectNextUser();
    listener.changes = 0;
    model->reset();
    EXPECT_EQ(model->getFriendCount(), 0);
    EXPECT_STREQ(model->getCurrentUser(), "");
    EXPECT_EQ(listener.changes, 1);
    EXPECT_EQ(model->getSelectedUser(), nullptr);
    EXPECT_EQ(model->getSelectedUserStatus(), -1);
    EXPECT_EQ(model->isSelectedUserConnectable(), 0);
    EXPECT_EQ(model->isSelectedUser("alice"), 0);
    model->selectNextUser();
    EXPECT_EQ(model->getSelectedIndex(), 0);
    EXPECT_EQ(listener.changes, 2);
}
