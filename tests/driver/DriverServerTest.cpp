// The driver with two (or three) scripted clients on real Unix sockets, all on
// the test's thread: the clients write frames, the test turns the driver's
// loop with runOnce(0) and reads what each client received.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "driver/DriverServer.h"
#include "driver/ScriptedClient.h"
#include "platform/PollEventLoop.h"

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

class DriverServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qdrv-XXXXXX";
        dir = ::mkdtemp(pattern);
        server = std::make_unique<DriverServer>(loop);
        server->getHub().setLogSink([this](const std::string& line) { logs.push_back(line); });
    }
    void TearDown() override {
        server.reset();
        fs::remove_all(dir);
    }

    std::string path(const std::string& handle) const { return dir + "/" + handle + ".sock"; }

    void addAccount(const std::string& handle, std::vector<std::string> contacts,
                    DriverHub::Authorize authorize = DriverHub::Authorize::kAllow) {
        DriverAccountConfig account;
        account.settings.handle = handle;
        account.settings.contacts = std::move(contacts);
        account.settings.authorize = authorize;
        account.settings.authorizeDelayMs = 300;
        account.socketPath = path(handle);
        std::string error;
        ASSERT_TRUE(server->addAccount(account, error)) << error;
    }

    // alice and bob list each other; carol lists nobody.
    void addThreeAccounts() {
        addAccount("alice", {"bob", "carol"});
        addAccount("bob", {"alice"});
        addAccount("carol", {});
    }

    void settle() {
        for (int turn = 0; turn < 100; ++turn) {
            if (loop.runOnce(0) == 0) {
                return;
            }
        }
    }

    void attach(ScriptedClient& client, const std::string& handle) {
        ASSERT_TRUE(client.connect(path(handle)));
        settle();
        client.discover();
        settle();
        client.poll();
    }

    Texts run(ScriptedClient& client, const std::string& line) {
        client.sendLine(line);
        settle();
        return client.take();
    }

    // alice and bob attached, both registered X, one stream: bob:1 / alice:1.
    void openStream() {
        addThreeAccounts();
        attach(alice, "alice");
        attach(bob, "bob");
        run(alice, "CREATE APPLICATION X");
        run(bob, "CREATE APPLICATION X");
        run(alice, "ALTER APPLICATION X CONNECT bob");
        alice.take();
        bob.take();
    }

    bool logged(const std::string& part) const {
        for (const std::string& line : logs) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    platform::ManualClock clock;
    platform::PollEventLoop loop{clock};
    std::string dir;
    std::unique_ptr<DriverServer> server;
    std::vector<std::string> logs;
    ScriptedClient alice;
    ScriptedClient bob;
};

TEST_F(DriverServerTest, ConnectOpensOneStreamReportedOnBothEndsWithIdsPerSide) {
    addThreeAccounts();
    attach(alice, "alice");
    attach(bob, "bob");
    EXPECT_EQ(alice.attaches, (std::vector<int>{0}));
    run(alice, "CREATE APPLICATION X");
    run(bob, "CREATE APPLICATION X");
    alice.take();
    bob.take();

    EXPECT_EQ(run(alice, "ALTER APPLICATION X CONNECT bob"),
              (Texts{"ALTER APPLICATION X CONNECT bob", "APPLICATION X CONNECTING bob",
                     "APPLICATION X STREAMS bob:1"}));
    EXPECT_EQ(bob.take(), (Texts{"APPLICATION X STREAMS alice:1"}));
    EXPECT_TRUE(logged("stream opened: X, alice (bob:1) - bob (alice:1)"));

    // bob opens the next one: each side counts its own ids.
    EXPECT_EQ(run(bob, "ALTER APPLICATION X CONNECT alice"),
              (Texts{"ALTER APPLICATION X CONNECT alice", "APPLICATION X CONNECTING alice",
                     "APPLICATION X STREAMS alice:1 alice:2"}));
    EXPECT_EQ(alice.take(), (Texts{"APPLICATION X STREAMS bob:1 bob:2"}));

    // Ids are never reused for the life of the driver.
    run(alice, "ALTER APPLICATION X DISCONNECT bob:1");
    run(alice, "ALTER APPLICATION X DISCONNECT bob:2");
    bob.take();
    EXPECT_EQ(run(alice, "ALTER APPLICATION X CONNECT bob").back(), "APPLICATION X STREAMS bob:3");
    EXPECT_EQ(bob.take(), (Texts{"APPLICATION X STREAMS alice:3"}));
}

TEST_F(DriverServerTest, EveryCommandGetsItsResultBeforeItsReplies) {
    addThreeAccounts();
    attach(alice, "alice");
    alice.sendLine("PING");
    settle();
    alice.poll();
    EXPECT_EQ(alice.results, (std::vector<int>{1}));
    EXPECT_EQ(alice.texts, (Texts{"PONG"}));
}

TEST_F(DriverServerTest, WriteSendingReceivedReadInOrderThenSendingClears) {
    openStream();
    EXPECT_EQ(run(alice, "ALTER APPLICATION X WRITE bob:1 one"),
              (Texts{"ALTER APPLICATION X WRITE bob:1", "APPLICATION X SENDING bob:1=3"}));
    EXPECT_EQ(run(alice, "ALTER APPLICATION X WRITE bob:1 two 2"),
              (Texts{"ALTER APPLICATION X WRITE bob:1", "APPLICATION X SENDING bob:1=8"}));
    EXPECT_EQ(bob.take(),
              (Texts{"APPLICATION X RECEIVED alice:1=3", "APPLICATION X RECEIVED alice:1=8"}));

    EXPECT_EQ(run(bob, "ALTER APPLICATION X READ alice:1"),
              (Texts{"ALTER APPLICATION X READ alice:1 one", "APPLICATION X RECEIVED alice:1=5"}));
    EXPECT_EQ(alice.take(), (Texts{"APPLICATION X SENDING bob:1=5"}));
    EXPECT_EQ(run(bob, "ALTER APPLICATION X READ alice:1"),
              (Texts{"ALTER APPLICATION X READ alice:1 two 2", "APPLICATION X RECEIVED"}));
    EXPECT_EQ(alice.take(), (Texts{"APPLICATION X SENDING"}));
    // Nothing waits: the read answers with no text.
    EXPECT_EQ(run(bob, "ALTER APPLICATION X READ alice:1"),
              (Texts{"ALTER APPLICATION X READ alice:1"}));
}

TEST_F(DriverServerTest, WriterWhosePeerDoesNotReadNeverSeesSendingCleared) {
    openStream();
    run(alice, "ALTER APPLICATION X WRITE bob:1 data");
    Texts seen;
    for (size_t i = 0; i < DriverHub::kMaxQueuedMessages + 1; ++i) {
        clock.advance(1000);
        for (const std::string& t : run(alice, "ALTER APPLICATION X WRITE bob:1 more")) {
            seen.push_back(t);
        }
    }
    for (const std::string& t : seen) {
        EXPECT_NE(t, "APPLICATION X SENDING");
    }
    // The stream's buffer is bounded: the writer is told, nothing grows.
    EXPECT_EQ(seen.back(), "ERROR 552 ALTER APPLICATION WRITE: stream buffer full");
    // Once the reader reads everything, SENDING clears.
    for (size_t i = 0; i < DriverHub::kMaxQueuedMessages; ++i) {
        run(bob, "ALTER APPLICATION X READ alice:1");
    }
    EXPECT_EQ(alice.take().back(), "APPLICATION X SENDING");
}

TEST_F(DriverServerTest, DisconnectFromEitherSideRemovesTheStreamOnBothEnds) {
    openStream();
    run(alice, "ALTER APPLICATION X WRITE bob:1 unread");
    bob.take();
    EXPECT_EQ(run(bob, "ALTER APPLICATION X DISCONNECT alice:1"),
              (Texts{"ALTER APPLICATION X DISCONNECT alice:1", "APPLICATION X STREAMS",
                     "APPLICATION X RECEIVED"}));
    // The writer is not left waiting for a SENDING that would never clear.
    EXPECT_EQ(alice.take(), (Texts{"APPLICATION X STREAMS", "APPLICATION X SENDING"}));
    EXPECT_EQ(server->getHub().streamCount(), 0u);
    EXPECT_TRUE(logged("stream closed (disconnect by bob)"));
}

TEST_F(DriverServerTest, ClientVanishingMidStreamClosesItsStreamsAndTheOtherGoesOn) {
    openStream();
    run(alice, "ALTER APPLICATION X WRITE bob:1 last words");
    bob.take();
    run(bob, "ALTER APPLICATION X WRITE alice:1 unread by alice");
    alice.close();
    settle();
    EXPECT_EQ(bob.take(), (Texts{"APPLICATION X STREAMS", "APPLICATION X SENDING",
                                 "APPLICATION X RECEIVED", "USER alice ONLINESTATUS OFFLINE"}));
    EXPECT_TRUE(logged("alice: client 1 detached"));
    EXPECT_EQ(run(bob, "PING"), (Texts{"PONG"}));
}

TEST_F(DriverServerTest, ClientVanishingMidFrameIsClosedAlone) {
    openStream();
    const std::string frame =
        platform::driverframe::encodeText("ALTER APPLICATION X WRITE bob:1 x");
    alice.sendRaw(frame.substr(0, frame.size() / 2));
    settle();
    alice.close();
    settle();
    EXPECT_EQ(bob.take().front(), "APPLICATION X STREAMS");
    EXPECT_EQ(run(bob, "PING"), (Texts{"PONG"}));
    EXPECT_EQ(server->clientCount(), 1u);
    EXPECT_TRUE(logged("alice: client 1 detached (vanished in the middle of a frame)"));
}

struct BadFrameRow {
    const char* name;
    std::string bytes;
};

TEST_F(DriverServerTest, ProtocolErrorsCloseOnlyThatClient) {
    const BadFrameRow rows[] = {
        {"over the limit", std::string("\x00\x10\x00\x00", 4) + "C"},
        {"unknown type", std::string("\x00\x00\x00\x00", 4) + "Z"},
        {"result from a client", platform::driverframe::encodeResult(1)},
        {"attach from a client", platform::driverframe::encodeAttach(0)},
        {"discover with a body", std::string("\x00\x00\x00\x01", 4) + "Dx"},
    };
    addThreeAccounts();
    attach(bob, "bob");
    for (const BadFrameRow& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedClient bad;
        attach(bad, "alice");
        bad.sendRaw(row.bytes);
        settle();
        EXPECT_FALSE(bad.poll());
        EXPECT_TRUE(bad.closedByDriver);
        EXPECT_TRUE(logged("detached (protocol error: "));
        // bob heard alice come and go, and is served as before.
        EXPECT_EQ(run(bob, "PING"), (Texts{"USER alice ONLINESTATUS ONLINE",
                                           "USER alice ONLINESTATUS OFFLINE", "PONG"}));
    }
    EXPECT_EQ(server->clientCount(), 1u);
}

struct MalformedRow {
    std::string line;
    std::string reply;  // the whole reply, or its start when it ends with '*'
};

TEST_F(DriverServerTest, MalformedCommandsAreAnsweredWithErrorWhileTheOtherClientGoesOn) {
    const MalformedRow rows[] = {
        {"", "ERROR 2 Unknown command"},
        {"HELLO", "ERROR 2 Unknown command"},
        {"search friends", "ERROR 2 Unknown command"},
        {"SEARCH  FRIENDS", "ERROR 2 Unknown command"},
        {"SEARCH FRIENDS ", "ERROR 2 Unknown command"},
        {"GET", "ERROR 7 GET: invalid WHAT"},
        {"GET USER", "ERROR 8 Invalid user handle"},
        {"GET USER bob", "ERROR 7 GET: invalid WHAT"},
        {"GET USER bob FULLNAME", "ERROR 7 GET: invalid WHAT"},
        {"GET APPLICATION X", "ERROR 7 GET: invalid WHAT"},
        {"CREATE", "ERROR 2 Unknown command"},
        {"CREATE APPLICATION", "ERROR 540 *"},
        {"CREATE APPLICATION A B", "ERROR 540 *"},
        {"CREATE APPLICATION X", "ERROR 541 *"},
        {"DELETE APPLICATION Z", "ERROR 542 *"},
        {"ALTER USER bob", "ERROR 2 Unknown command"},
        {"ALTER APPLICATION Y CONNECT bob", "ERROR 542 *"},
        {"ALTER APPLICATION X FLY bob", "ERROR 543 *"},
        {"ALTER APPLICATION X CONNECT", "ERROR 547 *"},
        {"ALTER APPLICATION X CONNECT dave", "ERROR 547 *"},
        {"ALTER APPLICATION X CONNECT carol", "ERROR 547 *"},
        {"ALTER APPLICATION X CONNECT alice", "ERROR 547 *"},
        {"ALTER APPLICATION X CONNECT bob extra", "ERROR 547 *"},
        {"ALTER APPLICATION X DISCONNECT bob", "ERROR 548 *"},
        {"ALTER APPLICATION X DISCONNECT bob:99", "ERROR 548 *"},
        {"ALTER APPLICATION X DISCONNECT bob:0", "ERROR 548 *"},
        {"ALTER APPLICATION X DISCONNECT :1", "ERROR 548 *"},
        {"ALTER APPLICATION X WRITE bob:99 hi", "ERROR 549 *"},
        {"ALTER APPLICATION X WRITE bob:x hi", "ERROR 549 *"},
        {"ALTER APPLICATION X WRITE bob:99999999999 hi", "ERROR 549 *"},
        {"ALTER APPLICATION X WRITE bob:1", "ERROR 551 *"},
        {"ALTER APPLICATION X WRITE bob:1 " + std::string(65536, 'a'), "ERROR 551 *"},
        {"ALTER APPLICATION X READ bob:7", "ERROR 550 *"},
        {"ALTER APPLICATION X READ bob:1 extra", "ERROR 550 *"},
    };
    openStream();
    for (const MalformedRow& row : rows) {
        SCOPED_TRACE("command: " + row.line.substr(0, 60));
        const Texts replies = run(alice, row.line);
        ASSERT_EQ(replies.size(), 1u);
        if (row.reply.back() == '*') {
            EXPECT_EQ(replies[0].substr(0, row.reply.size() - 1),
                      row.reply.substr(0, row.reply.size() - 1));
        } else {
            EXPECT_EQ(replies[0], row.reply);
        }
        // The other client's stream goes on undisturbed.
        run(bob, "ALTER APPLICATION X WRITE alice:1 ping");
        alice.take();
        EXPECT_EQ(run(alice, "ALTER APPLICATION X READ bob:1").front(),
                  "ALTER APPLICATION X READ bob:1 ping");
        bob.take();
    }
    EXPECT_EQ(server->getHub().streamCount(), 1u);
}

TEST_F(DriverServerTest, ContactsStatusAndConnectableAnswers) {
    addThreeAccounts();
    attach(alice, "alice");
    EXPECT_EQ(run(alice, "SEARCH FRIENDS"), (Texts{"USERS bob, carol"}));
    EXPECT_EQ(run(alice, "GET CURRENTUSERHANDLE"), (Texts{"CURRENTUSERHANDLE alice"}));
    EXPECT_EQ(run(alice, "GET USERSTATUS"), (Texts{"USERSTATUS ONLINE"}));
    EXPECT_EQ(run(alice, "GET USER bob ONLINESTATUS"), (Texts{"USER bob ONLINESTATUS OFFLINE"}));
    attach(bob, "bob");
    EXPECT_EQ(alice.take(), (Texts{"USER bob ONLINESTATUS ONLINE"}));
    EXPECT_EQ(run(alice, "GET USER bob ONLINESTATUS"), (Texts{"USER bob ONLINESTATUS ONLINE"}));
    EXPECT_EQ(run(alice, "GET USER zed ONLINESTATUS"), (Texts{"USER zed ONLINESTATUS UNKNOWN"}));
    EXPECT_EQ(run(alice, "GET USER carol BUDDYSTATUS"), (Texts{"USER carol BUDDYSTATUS 3"}));
    EXPECT_EQ(run(alice, "GET APPLICATION X CONNECTABLE"), (Texts{"APPLICATION X CONNECTABLE"}));
    run(bob, "CREATE APPLICATION X");
    EXPECT_EQ(run(alice, "GET APPLICATION X CONNECTABLE"),
              (Texts{"APPLICATION X CONNECTABLE bob"}));
    // carol runs X too but does not list alice: streams link mutual
    // contacts only, either way round.
    ScriptedClient carol;
    attach(carol, "carol");
    run(carol, "CREATE APPLICATION X");
    EXPECT_EQ(alice.take(), (Texts{"USER carol ONLINESTATUS ONLINE"}));
    EXPECT_EQ(run(alice, "GET APPLICATION X CONNECTABLE"),
              (Texts{"APPLICATION X CONNECTABLE bob"}));
    run(alice, "CREATE APPLICATION X");
    EXPECT_EQ(run(alice, "ALTER APPLICATION X CONNECT carol").front().substr(0, 9), "ERROR 547");
    EXPECT_EQ(run(carol, "ALTER APPLICATION X CONNECT alice").front().substr(0, 9), "ERROR 547");
    EXPECT_TRUE(carol.take().empty());
    // A contact added later is announced.
    EXPECT_TRUE(server->getHub().addContact("alice", "dave"));
    settle();
    EXPECT_EQ(alice.take(), (Texts{"USER dave BUDDYSTATUS 3"}));
    EXPECT_FALSE(server->getHub().addContact("alice", "dave"));
}

struct AttachRow {
    DriverHub::Authorize authorize;
    std::vector<int> codes;  // after discovery, then after the authorization delay
    int result;              // of a command after the delay
};

TEST_F(DriverServerTest, AttachCodesByAuthorizeSetting) {
    const AttachRow rows[] = {
        {DriverHub::Authorize::kAllow, {0}, 1},
        {DriverHub::Authorize::kPending, {1, 0}, 1},
        {DriverHub::Authorize::kRefuse, {2}, 0},
        {DriverHub::Authorize::kUnavailable, {3}, 0},
    };
    int index = 0;
    for (const AttachRow& row : rows) {
        SCOPED_TRACE("row " + std::to_string(index));
        const std::string handle = "user" + std::to_string(index++);
        addAccount(handle, {}, row.authorize);
        ScriptedClient client;
        attach(client, handle);
        client.sendLine("PING");  // before the delay: taken only when attached
        settle();
        client.poll();
        EXPECT_EQ(client.results.back(), row.codes.front() == 0 ? 1 : 0);
        clock.advance(300);
        settle();
        client.sendLine("PING");
        settle();
        client.poll();
        EXPECT_EQ(client.attaches, row.codes);
        EXPECT_EQ(client.results.back(), row.result);
    }
}

TEST_F(DriverServerTest, RemovingAnAccountClosesItsClientsStreamsAndSocket) {
    openStream();
    server->removeAccount("bob");
    settle();
    EXPECT_EQ(alice.take(), (Texts{"APPLICATION X STREAMS", "USER bob ONLINESTATUS OFFLINE"}));
    EXPECT_FALSE(bob.poll());
    EXPECT_FALSE(fs::exists(path("bob")));
    EXPECT_EQ(run(alice, "ALTER APPLICATION X CONNECT bob").front().substr(0, 9), "ERROR 547");
}

TEST_F(DriverServerTest, SocketsAreOwnerOnlyAndASecondDriverIsRefused) {
    DriverAccountConfig account;
    account.settings.handle = "alice";
    account.socketPath = dir + "/run/quillon/alice.sock";
    std::string error;
    ASSERT_TRUE(server->addAccount(account, error)) << error;
    struct stat info {};
    ASSERT_EQ(::stat(account.socketPath.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir + "/run/quillon").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    DriverServer second(loop);
    EXPECT_FALSE(second.addAccount(account, error));
    EXPECT_NE(error.find("already served by another quillon-driver"), std::string::npos) << error;
    // The refused driver left the first one's socket alone.
    ScriptedClient client;
    EXPECT_TRUE(client.connect(account.socketPath));

    server->shutdown();
    EXPECT_FALSE(fs::exists(account.socketPath));
    EXPECT_FALSE(fs::exists(account.socketPath + ".lock"));
}

namespace {

// Whoever may write to the socket's directory could swap the socket for one
// of their own: the driver serves only in a directory of its own user that
// nobody else may write to.
TEST_F(DriverServerTest, SocketDirectoryMustBeOwnAndClosedToOthers) {
    struct Row {
        const char* what;
        mode_t mode;
        uid_t owner;  // 0 here means "this process's user"
        const char* reason;
    } rows[] = {
        {"writable by everyone", 0777, 0, "writable by other users"},
        {"writable by the group", 0770, 0, "writable by other users"},
        {"sticky and world-writable", 01777, 0, "writable by other users"},
        {"another user's", 0755, 65534, "belongs to uid 65534"},
    };
    for (const Row& row : rows) {
        if (row.owner != 0 && ::geteuid() != 0) {
            continue;  // only root can give a directory away
        }
        const std::string sub = dir + "/" + std::to_string(static_cast<int>(row.mode)) +
                                std::to_string(row.owner);
        ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0) << row.what;
        ASSERT_EQ(::chmod(sub.c_str(), row.mode), 0) << row.what;
        if (row.owner != 0) {
            ASSERT_EQ(::chown(sub.c_str(), row.owner, row.owner), 0) << row.what;
        }
        DriverAccountConfig account;
        account.settings.handle = "alice";
        account.socketPath = sub + "/alice.sock";
        std::string error;
        EXPECT_FALSE(server->addAccount(account, error)) << row.what;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.what << ": " << error;
        EXPECT_FALSE(fs::exists(account.socketPath)) << row.what;
    }
    // A private directory of its own is served.
    const std::string own = dir + "/own";
    ASSERT_EQ(::mkdir(own.c_str(), 0700), 0);
    DriverAccountConfig account;
    account.settings.handle = "alice";
    account.socketPath = own + "/alice.sock";
    std::string error;
    EXPECT_TRUE(server->addAccount(account, error)) << error;
}

}  // namespace
