// The link's transport against a scripted driver socket in the test itself:
// what the "driver" sends is written before the link's send starts, so the
// link finds it already waiting and no thread is needed.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/DriverFrame.h"
#include "platform/DriverSocket.h"
#include "skype/DriverTransport.h"
#include "skype/LinkFixture.h"

namespace df = platform::driverframe;

namespace {
using Calls = std::vector<std::string>;
constexpr int kTestSendTimeoutMs = 100;
constexpr int kReceiveTimeoutMs = 2000;  // the scripted side never hangs a test

// The driver's end of the socket, driven by the test.
class ScriptedDriver {
public:
    explicit ScriptedDriver(const std::string& path) {
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 4);
    }
    ~ScriptedDriver() {
        if (peer >= 0) {
            ::close(peer);
        }
        ::close(listener);
    }
    bool accept() {
        peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        timeval timeout{kReceiveTimeoutMs / 1000, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return peer >= 0;
    }
    void send(const std::string& bytes) {
        [[maybe_unused]] ssize_t n = ::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    // The next frame the gateway sent; type 0 when the connection ended.
    df::Frame receive() {
        df::Frame frame;
        while (true) {
            if (reader.next(frame) == platform::DriverFrameReader::Result::kFrame) {
                return frame;
            }
            char byte;
            if (::recv(peer, &byte, 1, 0) != 1) {
                return df::Frame{};
            }
            reader.push(&byte, 1);
        }
    }
    int listener = -1;
    int peer = -1;
    platform::DriverFrameReader reader;
};
}  // namespace

class DriverTransportTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        char pattern[] = "/tmp/qdt-XXXXXX";
        dir = ::mkdtemp(pattern);
        path = dir + "/driver.sock";
        driver = std::make_unique<ScriptedDriver>(path);
        transport = std::make_unique<DriverTransport>(path, kTestSendTimeoutMs);
        link->setTransport(transport.get());
        link->addListener(&user);
    }
    void TearDown() override {
        LinkFixture::TearDown();
        transport.reset();
        driver.reset();
        std::filesystem::remove_all(dir);
    }

    // Discovery, the driver's answer 0: the link is attached.
    void attach() {
        link->attachWindow(0);
        ASSERT_TRUE(driver->accept());
        EXPECT_EQ(driver->receive().type, df::kDiscover);
        driver->send(df::encodeAttach(0));
        loop.runOnce(kReceiveTimeoutMs);
        ASSERT_EQ(link->getAttachStatus(), 1);
        calls.clear();
    }

    std::string dir;
    std::string path;
    std::unique_ptr<ScriptedDriver> driver;
    std::unique_ptr<DriverTransport> transport;
    RecordingUser user{"user", calls};
};

TEST_F(DriverTransportTest, BlocksArrivingDuringASendAreDeliveredAfterItReturnsInOrder) {
    attach();
    driver->send(df::encodeText("APPLICATION X STREAMS bob:1") +
                 df::encodeText("USER bob ONLINESTATUS ONLINE") + df::encodeResult(5) +
                 df::encodeText("USERSTATUS AWAY"));
    EXPECT_EQ(link->sendCommand("GET USERSTATUS"), 5);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(transport->pendingCount(), 3u);

    const df::Frame sent = driver->receive();
    EXPECT_EQ(sent.type, df::kCopyData);
    EXPECT_EQ(sent.tag(), 0u);
    EXPECT_EQ(sent.block(), std::string("GET USERSTATUS") + '\0');

    loop.runOnce(0);
    EXPECT_EQ(calls, (Calls{"user:a2a:APPLICATION X STREAMS bob:1",
                            "user:user:bob ONLINESTATUS ONLINE", "user:userStatus:AWAY"}));
}

TEST_F(DriverTransportTest, NotificationsWithoutASendArriveThroughTheLoop) {
    attach();
    driver->send(df::encodeText("USERS bob, carol"));
    loop.runOnce(kReceiveTimeoutMs);
    EXPECT_EQ(calls, (Calls{"user:users:bob, carol"}));
}

TEST_F(DriverTransportTest, NoResultWithinTheTimeOutIsAFailedSendAndClosesTheConnection) {
    attach();
    EXPECT_EQ(link->sendCommand("SEARCH FRIENDS"), 0);
    EXPECT_EQ(calls, (Calls{"user:status:0"}));
    EXPECT_FALSE(transport->isConnected());
    EXPECT_TRUE(traced("DriverTransport: no result within 100 ms\n"));
    EXPECT_EQ(driver->receive().type, df::kCopyData);
    EXPECT_EQ(driver->receive().type, 0);  // then the gateway hung up
}

TEST_F(DriverTransportTest, ADriverBreakingTheProtocolFailsTheSend) {
    attach();
    driver->send(df::encodeDiscover());  // only gateways send this
    EXPECT_EQ(link->sendCommand("SEARCH FRIENDS"), 0);
    EXPECT_FALSE(transport->isConnected());
    EXPECT_EQ(link->getAttachStatus(), 0);
}

TEST_F(DriverTransportTest, ABlockOverTheLimitIsNotSent) {
    attach();
    const std::string huge(df::kMaxBlockBytes, 'h');
    EXPECT_EQ(link->sendCommand(huge.c_str()), 0);
    EXPECT_EQ(driver->receive().type, 0);  // nothing came, the connection closed
}

TEST_F(DriverTransportTest, AResultOfZeroKeepsTheConnectionAndRediscoveryAsksAgain) {
    attach();
    driver->send(df::encodeResult(0));
    EXPECT_EQ(link->sendCommand("SEARCH FRIENDS"), 0);
    EXPECT_EQ(calls, (Calls{"user:status:0"}));
    EXPECT_TRUE(transport->isConnected());
    EXPECT_EQ(driver->receive().type, df::kCopyData);
    clock.advance(XR_SKYPECOM::kRediscoveryPeriodMs);
    loop.runOnce(0);
    EXPECT_EQ(driver->receive().type, df::kDiscover);
    driver->send(df::encodeAttach(0));
    loop.runOnce(kReceiveTimeoutMs);
    EXPECT_EQ(link->getAttachStatus(), 1);
}

// A contact opening streams as fast as it can makes the driver repeat the
// whole stream list again and again. Each list supersedes the one before
// it, so a burst larger than the queue's bound is not fatal to the link, and
// only the latest list of each kind is handed on.
TEST_F(DriverTransportTest, ABurstOfStateNotificationsKeepsTheLinkAndTheLatestState) {
    attach();
    constexpr int kBurst = 1500;  // more than kMaxPendingBlocks
    static_assert(kBurst > static_cast<int>(DriverTransport::kMaxPendingBlocks));
    std::string burst;
    for (int i = 1; i <= kBurst; ++i) {
        burst += df::encodeText("APPLICATION X STREAMS mallory:" + std::to_string(i));
        burst += df::encodeText("APPLICATION X RECEIVED bob:1=" + std::to_string(i));
        if (i == 10) {
            burst += df::encodeText("USER bob ONLINESTATUS ONLINE");
        }
    }
    burst += df::encodeText("APPLICATION X STREAMS");  // an empty list is a state too
    driver->send(burst + df::encodeResult(1));
    EXPECT_EQ(link->sendCommand("PING"), 1);
    EXPECT_TRUE(transport->isConnected());
    EXPECT_EQ(transport->pendingCount(), 3u);
    loop.runOnce(0);
    // Each latest state in the place of the first of its kind.
    EXPECT_EQ(calls, (Calls{"user:a2a:APPLICATION X STREAMS",
                            "user:a2a:APPLICATION X RECEIVED bob:1=1500",
                            "user:user:bob ONLINESTATUS ONLINE"}));
}
