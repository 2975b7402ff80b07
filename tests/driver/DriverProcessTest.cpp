// quillon-driver as a program: two accounts, a console on each, signals,
// a second driver on the same sockets, reloading the configuration.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "driver/DriverProcessFixture.h"

namespace fs = std::filesystem;

class DriverProcessTest : public ::testing::Test {
protected:
    std::string config(const std::string& aliceContacts = "bob") const {
        return "[alice]\nsocket = alice.sock\ncontacts = " + aliceContacts +
               "\n[bob]\nsocket = bob.sock\ncontacts = alice\n";
    }
    std::string sock(const char* handle) const { return dir.path + "/" + handle + ".sock"; }

    driverprocess::TempDir dir;
};

TEST_F(DriverProcessTest, TwoConsolesOpenAStreamWriteReadAndCloseIt) {
    DriverProcess driver(dir.path, config());
    ASSERT_TRUE(driver.start({sock("alice"), sock("bob")})) << driver.log();

    ConsoleProcess bob;
    bob.start(sock("bob"));
    ASSERT_TRUE(bob.expect("ATTACH 0")) << bob.transcript();
    bob.send("CREATE APPLICATION X");
    ASSERT_TRUE(bob.expect("-> CREATE APPLICATION X")) << bob.transcript();

    ConsoleProcess alice;
    alice.start(sock("alice"));
    ASSERT_TRUE(alice.expect("ATTACH 0"));
    alice.send("SEARCH FRIENDS");
    EXPECT_TRUE(alice.expect("-> USERS bob")) << alice.transcript();
    alice.send("CREATE APPLICATION X");
    alice.send("GET APPLICATION X CONNECTABLE");
    EXPECT_TRUE(alice.expect("-> APPLICATION X CONNECTABLE bob")) << alice.transcript();
    alice.send("ALTER APPLICATION X CONNECT bob");
    EXPECT_TRUE(alice.expect("-> APPLICATION X STREAMS bob:1")) << alice.transcript();
    EXPECT_TRUE(bob.expect("-> APPLICATION X STREAMS alice:1")) << bob.transcript();

    alice.send("ALTER APPLICATION X WRITE bob:1 hello there");
    EXPECT_TRUE(alice.expect("-> APPLICATION X SENDING bob:1=11")) << alice.transcript();
    EXPECT_TRUE(bob.expect("-> APPLICATION X RECEIVED alice:1=11")) << bob.transcript();
    bob.send("ALTER APPLICATION X READ alice:1");
    EXPECT_TRUE(bob.expect("-> ALTER APPLICATION X READ alice:1 hello there")) << bob.transcript();
    EXPECT_TRUE(alice.expect("-> APPLICATION X SENDING")) << alice.transcript();

    alice.send("ALTER APPLICATION X DISCONNECT bob:1");
    EXPECT_TRUE(alice.expect("-> APPLICATION X STREAMS")) << alice.transcript();
    EXPECT_TRUE(bob.expect("-> APPLICATION X STREAMS")) << bob.transcript();

    alice.closeInput();
    EXPECT_EQ(alice.wait(), 0);
    EXPECT_TRUE(driver.waitForLog("alice: client 2 detached")) << driver.log();
    const std::string log = driver.log();
    EXPECT_NE(log.find("bob: client 1 attached"), std::string::npos) << log;
    EXPECT_NE(log.find("stream opened: X, alice (bob:1) - bob (alice:1)"), std::string::npos);
    EXPECT_NE(log.find("stream closed (disconnect by alice)"), std::string::npos);
}

TEST_F(DriverProcessTest, StopsCleanlyOnTermAndIntRemovingItsSockets) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        DriverProcess driver(dir.path, config());
        ASSERT_TRUE(driver.start({sock("alice"), sock("bob")})) << driver.log();
        ConsoleProcess alice;
        alice.start(sock("alice"));
        ASSERT_TRUE(alice.expect("ATTACH 0"));
        EXPECT_EQ(driver.stop(signalNumber), 0);
        EXPECT_NE(driver.log().find("stopping"), std::string::npos);
        EXPECT_FALSE(fs::exists(sock("alice")));
        EXPECT_FALSE(fs::exists(sock("bob")));
        EXPECT_FALSE(fs::exists(sock("alice") + ".lock"));
        EXPECT_EQ(alice.wait(), 0);  // the console ends with the driver
    }
}

TEST_F(DriverProcessTest, ASecondDriverOnTheSameSocketIsRefusedAndTheFirstGoesOn) {
    DriverProcess first(dir.path, config());
    ASSERT_TRUE(first.start({sock("alice"), sock("bob")}));
    fs::create_directory(dir.path + "/second");
    DriverProcess second(dir.path + "/second",
                         "[alice]\nsocket = " + sock("alice") + "\ncontacts = bob\n");
    EXPECT_FALSE(second.start({sock("alice")}));
    EXPECT_EQ(second.stop(), 1);
    EXPECT_NE(second.log().find("is already served by another quillon-driver"), std::string::npos)
        << second.log();
    ConsoleProcess alice;
    alice.start(sock("alice"));
    EXPECT_TRUE(alice.expect("ATTACH 0"));
}

TEST_F(DriverProcessTest, ReloadAnnouncesANewContactAndDropsARemovedAccount) {
    DriverProcess driver(dir.path, config());
    ASSERT_TRUE(driver.start({sock("alice"), sock("bob")}));
    ConsoleProcess alice;
    alice.start(sock("alice"));
    ASSERT_TRUE(alice.expect("ATTACH 0"));
    ConsoleProcess bob;
    bob.start(sock("bob"));
    ASSERT_TRUE(bob.expect("ATTACH 0"));
    ASSERT_TRUE(alice.expect("-> USER bob ONLINESTATUS ONLINE"));

    driver.writeConfig("[alice]\nsocket = alice.sock\ncontacts = bob, dave\n");
    driver.signal(SIGHUP);
    EXPECT_TRUE(alice.expect("-> USER bob ONLINESTATUS OFFLINE")) << alice.transcript();
    EXPECT_TRUE(alice.expect("-> USER dave BUDDYSTATUS 3")) << alice.transcript();
    EXPECT_EQ(bob.wait(), 0);  // its account is gone: the driver closed it
    EXPECT_TRUE(driver.waitForLog("bob: account removed"));
    EXPECT_FALSE(fs::exists(sock("bob")));
}

TEST_F(DriverProcessTest, BadUseEndsWithAClearMessage) {
    DriverProcess broken(dir.path, "[alice]\ncontacts = bob\n");
    EXPECT_FALSE(broken.start({sock("alice")}));
    EXPECT_EQ(broken.stop(), 1);
    EXPECT_NE(broken.log().find("alice: no socket path"), std::string::npos) << broken.log();

    ConsoleProcess lost;
    const std::string errors = dir.path + "/console.err";
    lost.start(dir.path + "/nobody.sock", errors);
    EXPECT_EQ(lost.wait(), 1);
    EXPECT_NE(driverprocess::readFile(errors).find("cannot reach"), std::string::npos);
}
