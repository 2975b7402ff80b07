// The link and the user model against the real quillon-driver, started as a
// child process. The GUI loop runs on a hand-moved clock, so the 5000 ms
// rediscovery tick comes when the test advances it; the loop's turns only
// wait (bounded, in real time) for the driver's bytes.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "driver/DriverProcessFixture.h"
#include "skype/DriverTransport.h"
#include "skype/LinkFixture.h"
#include "skype/XR_SKYPEMODEL.h"
#include "support/CPropaty.h"

namespace {
using Calls = std::vector<std::string>;
constexpr int kTurnWaitMs = 20;
}  // namespace

class XR_SKYPECOMDriverTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        ::setenv("QUILLON_DRIVER", sock("alice").c_str(), 1);
        link->addListener(&user);
    }
    void TearDown() override {
        LinkFixture::TearDown();
        ::unsetenv("QUILLON_DRIVER");
    }

    std::string sock(const char* handle) const { return dir.path + "/" + handle + ".sock"; }
    std::string config(const std::string& aliceExtra = "") const {
        return "[alice]\nsocket = alice.sock\ncontacts = bob\n" + aliceExtra +
               "[bob]\nsocket = bob.sock\ncontacts = alice\n";
    }

    // Turns the loop until done() or the time is up; true when done.
    bool pumpUntil(const std::function<bool()>& done) {
        const int64_t deadline = driverprocess::nowMs() + driverprocess::kReplyTimeoutMs;
        while (!done()) {
            if (driverprocess::nowMs() > deadline) {
                return false;
            }
            loop.runOnce(kTurnWaitMs);
        }
        return true;
    }
    bool statusIs(int status) {
        return pumpUntil([&] { return link->getAttachStatus() == status; });
    }
    bool called(const std::string& call) {
        return pumpUntil([&] {
            for (const std::string& c : calls) {
                if (c == call) {
                    return true;
                }
            }
            return false;
        });
    }

    driverprocess::TempDir dir;
    RecordingUser user{"user", calls};
};

TEST_F(XR_SKYPECOMDriverTest, AttachesAndRepliesArriveAfterTheSendReturnsInOrder) {
    DriverProcess driver(dir.path, config());
    ASSERT_TRUE(driver.start({sock("alice"), sock("bob")}));
    link->attachWindow(0);
    ASSERT_TRUE(statusIs(1)) << driver.log();
    EXPECT_EQ(calls, (Calls{"user:status:1"}));
    calls.clear();

    EXPECT_EQ(link->sendCommand("CREATE APPLICATION X"), 1);
    EXPECT_EQ(link->sendCommand("GET APPLICATION X CONNECTABLE"), 1);
    EXPECT_EQ(link->sendCommand("GET CURRENTUSERHANDLE"), 1);
    EXPECT_TRUE(calls.empty());  // nothing is handled inside a send
    ASSERT_TRUE(called("user:currentUser:alice"));
    EXPECT_EQ(calls, (Calls{"user:a2a:CREATE APPLICATION X", "user:a2a:APPLICATION X CONNECTABLE",
                            "user:currentUser:alice"}));
}

struct DriverAttachRow {
    const char* authorize;
    std::vector<int> statuses;
};

TEST_F(XR_SKYPECOMDriverTest, AttachCodesOfTheDriverAreStoredShifted) {
    const DriverAttachRow rows[] = {
        {"allow", {1}},
        {"refuse", {3}},
        {"unavailable", {4}},
        {"pending", {2, 1}},
    };
    for (const DriverAttachRow& row : rows) {
        SCOPED_TRACE(row.authorize);
        DriverProcess driver(dir.path, config(std::string("authorize = ") + row.authorize +
                                              "\nauthorizedelay = 200\n"));
        ASSERT_TRUE(driver.start({sock("alice")}));
        if (link->getOwnWindow() != 0) {
            XR_WINDOW::destroyWindow(link->getOwnWindow());
        }
        XR_SKYPECOM::releaseInstance();
        link = XR_SKYPECOM::getInstance();
        link->addListener(&user);
        calls.clear();
        link->attachWindow(0);
        ASSERT_TRUE(statusIs(row.statuses.back())) << driver.log();
        Calls expected;
        for (int status : row.statuses) {
            expected.push_back("user:status:" + std::to_string(status));
        }
        EXPECT_EQ(calls, expected);
        EXPECT_EQ(link->getSkypeWindow() != 0, row.statuses.back() == 1);
    }
}

TEST_F(XR_SKYPECOMDriverTest, ADriverThatStopsIsNoticedByTheNextCommandAndFoundAgainOnATick) {
    auto driver = std::make_unique<DriverProcess>(dir.path, config());
    ASSERT_TRUE(driver->start({sock("alice")}));
    link->attachWindow(0);
    ASSERT_TRUE(statusIs(1));
    EXPECT_EQ(driver->stop(), 0);
    driver.reset();
    loop.runOnce(0);  // the hang-up is seen; the link learns of it when it sends

    calls.clear();
    EXPECT_EQ(link->sendCommand("SEARCH FRIENDS"), 0);
    EXPECT_EQ(link->getAttachStatus(), 0);
    EXPECT_EQ(calls, (Calls{"user:status:0"}));
    EXPECT_EQ(eventLines,
              (std::vector<std::string>{"2 SkypeDriverへの通知に失敗しました。Skypeは未接続"}));

    // While the driver is away, each tick looks for it in vain.
    traces.clear();
    clock.advance(XR_SKYPECOM::kRediscoveryPeriodMs);
    loop.runOnce(0);
    EXPECT_TRUE(traced("●<-broadcastMessage() to skype ret=0\n"));

    driver = std::make_unique<DriverProcess>(dir.path, config());
    ASSERT_TRUE(driver->start({sock("alice")}));
    loop.runOnce(0);
    EXPECT_EQ(link->getAttachStatus(), 0);  // not before the next tick
    clock.advance(XR_SKYPECOM::kRediscoveryPeriodMs);
    ASSERT_TRUE(statusIs(1));
    EXPECT_EQ(link->sendCommand("GET CURRENTUSERHANDLE"), 1);
    EXPECT_TRUE(called("user:currentUser:alice"));
}

TEST_F(XR_SKYPECOMDriverTest, ABlockOverTheFrameLimitIsAFailedSend) {
    DriverProcess driver(dir.path, config());
    ASSERT_TRUE(driver.start({sock("alice")}));
    link->attachWindow(0);
    ASSERT_TRUE(statusIs(1));
    calls.clear();
    const std::string huge = "ALTER APPLICATION X WRITE bob:1 " + std::string(70000, 'h');
    EXPECT_EQ(link->sendCommand(huge.c_str()), 0);
    EXPECT_EQ(calls, (Calls{"user:status:0"}));
    clock.advance(XR_SKYPECOM::kRediscoveryPeriodMs);
    EXPECT_TRUE(statusIs(1));
}

TEST_F(XR_SKYPECOMDriverTest, TheUserModelFillsItselfFromTheDriver) {
    CPropaty settings;
    XR_SKYPEMODEL* model = XR_SKYPEMODEL::getInstance();
    DriverProcess driver(dir.path, config());
    ASSERT_TRUE(driver.start({sock("alice"), sock("bob")}));
    ConsoleProcess bob;
    bob.start(sock("bob"));
    ASSERT_TRUE(bob.expect("ATTACH 0"));

    link->attachWindow(0);
    const bool filled = pumpUntil([&] {
        return model->getFriendCount() == 1 && model->getFriend(0)->onlineStatus == 2 &&
               std::string(model->getCurrentUser()) == "alice";
    });
    EXPECT_TRUE(filled);
    ASSERT_EQ(model->getFriendCount(), 1);
    EXPECT_STREQ(model->getFriend(0)->handle, "bob");

    bob.closeInput();
    bob.wait();
    EXPECT_TRUE(pumpUntil([&] { return model->getFriend(0)->onlineStatus == 1; }));
    XR_SKYPEMODEL::releaseInstance();
}
