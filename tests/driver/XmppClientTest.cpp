// The XMPP connection on the driver's poll loop against a local TCP peer that
// is no server at all: a peer that hangs up at once is tried again with a
// growing delay, and a client destroyed while connected leaves nothing behind
// that the loop could still call.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "driver/XmppClient.h"
#include "platform/PollEventLoop.h"

namespace {

class NullListener final : public XmppClient::Listener {
public:
    void onSignedIn(const std::string&) override { ++signIns; }
    void onSignedOut(const std::string&) override { ++signOuts; }
    void onStanza(xmpp_stanza_t*) override {}
    int signIns = 0;
    int signOuts = 0;
};

class XmppClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 8), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    void TearDown() override {
        for (int fd : accepted) {
            ::close(fd);
        }
        ::close(listener);
    }

    std::unique_ptr<XmppClient> makeClient() {
        XmppClient::Settings settings;
        settings.jid = "alice@a.test";
        settings.password = "hunter2-secret";
        settings.server = "127.0.0.1";
        settings.port = port;
        return std::make_unique<XmppClient>(loop, settings, events,
                                            [this](const std::string& l) { logs.push_back(l); });
    }

    // Accepts peers as they come: closes them at once, or keeps them silent.
    void serve(bool hangUp) {
        loop.addReadWatch(listener, [this, hangUp] {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            ++connections;
            if (hangUp) {
                ::close(fd);
            } else {
                accepted.push_back(fd);
            }
        });
    }

    void runFor(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            loop.runOnce(20);
        }
    }

    platform::PollEventLoop loop;
    NullListener events;
    std::vector<std::string> logs;
    std::vector<int> accepted;
    int listener = -1;
    int port = 0;
    int connections = 0;
};

TEST_F(XmppClientTest, APeerThatHangsUpIsTriedAgainWithAGrowingDelay) {
    serve(true);
    auto client = makeClient();
    client->start();
    runFor(3600);  // attempts at 0, 1 s and 3 s
    EXPECT_EQ(connections, 3);
    EXPECT_EQ(events.signIns, 0);
    EXPECT_FALSE(client->isSignedIn());
    std::vector<std::string> retries;
    for (const std::string& line : logs) {
        EXPECT_EQ(line.find("hunter2"), std::string::npos) << line;
        const size_t at = line.find("next attempt in ");
        if (at != std::string::npos) {
            retries.push_back(line.substr(at));
        }
    }
    ASSERT_GE(retries.size(), 3u);
    EXPECT_EQ(retries[0], "next attempt in 1 s");
    EXPECT_EQ(retries[1], "next attempt in 2 s");
    EXPECT_EQ(retries[2], "next attempt in 4 s");
}

TEST_F(XmppClientTest, AClientDestroyedWhileConnectedLeavesNothingBehind) {
    serve(false);
    auto client = makeClient();
    client->start();
    runFor(300);
    EXPECT_EQ(connections, 1);
    const size_t before = logs.size();
    client.reset();
    runFor(1500);  // a retry timer left behind would fire here
    EXPECT_EQ(logs.size(), before) << logs.back();
    EXPECT_EQ(events.signOuts, 0);
    EXPECT_EQ(connections, 1);
}

}  // namespace
