#pragma once

// Shared pieces of the tunnel engine's tests: a recording driver link, a TCP
// manager whose sockets the test holds in its hand, trace and event-line
// capture, and packet builders. Nothing here sleeps; time moves only by hand.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PacketBuilder.h"
#include "platform/Clock.h"
#include "platform/PollEventLoop.h"
#include "platform/Trace.h"
#include "skype/SkypeTransport.h"
#include "skype/XR_SKYPECOM.h"
#include "skype/XR_SKYPEMODEL.h"
#include "support/CPropaty.h"
#include "tcp/TunnelPacket.h"
#include "tcp/XR_SOCKETTCP.h"
#include "tcp/XR_TCPMANAGERFORFTP.h"
#include "../skype/RecordingTransport.h"
#include "tunnel/eventLine.h"

namespace tunneltest {

constexpr WindowHandle kDriverWindow = RecordingTransport::kDriverWindow;

// A TCP manager that opens nothing: the test gives it bare sockets (no
// worker, no descriptor) and sees every call the stream makes.
class FakeTcpManager : public XR_TCPMANAGERFORFTP {
public:
    FakeTcpManager() : XR_TCPMANAGERFORFTP(21) {}

    XR_SOCKETTCP& giveControlSocket() {
        controlSocket = std::make_unique<XR_SOCKETTCP>();
        return *controlSocket;
    }
    XR_SOCKETTCP& giveDataLinkSocket() {
        dataLinkSocket = std::make_unique<XR_SOCKETTCP>();
        dataLinkSocket->setControl(0);
        return *dataLinkSocket;
    }
    // Hands in a socket the test has set up (for example a connected one).
    void giveControlSocket(std::unique_ptr<XR_SOCKETTCP> socket) {
        controlSocket = std::move(socket);
    }

    void openServer() override { calls.push_back("openServer"); }
    void closeAll() override {
        calls.push_back("closeAll");
        controlSocket.reset();
        dataLinkSocket.reset();
    }
    int notifyTcpConnectRequest(int port, const char* host) override {
        calls.push_back("connect " + std::string(host) + ":" + std::to_string(port));
        if (connectResult != 1) {
            lastConnectError = connectError;
        }
        return connectResult;
    }
    void notifyTcpConnectReply(int port, int code) override {
        calls.push_back("reply " + std::to_string(port) + " " + std::to_string(code));
    }
    void notifyTcpDisconnect(int port) override {
        calls.push_back("disconnect " + std::to_string(port));
    }
    int openDataLinkServer(int port, uint32_t bindAddress) override {
        calls.push_back("openDataLink " + std::to_string(port));
        boundTo = bindAddress;
        return dataLinkPort;
    }
    int notifyDataLinkConnectRequest(int port, const char* host) override {
        calls.push_back("dlConnect " + std::string(host) + ":" + std::to_string(port));
        if (connectResult != 1) {
            lastConnectError = connectError;
        }
        return connectResult;
    }
    void notifyDataLinkConnectReply(int port, int code) override {
        calls.push_back("dlReply " + std::to_string(port) + " " + std::to_string(code));
    }
    void notifyDataLinkDisconnect(int port) override {
        calls.push_back("dlDisconnect " + std::to_string(port));
    }

    std::vector<std::string> calls;
    int connectResult = 1;
    int connectError = 0;
    int dataLinkPort = 50000;
    uint32_t boundTo = 0;
};

class Capture {
public:
    Capture() {
        platform::setTraceSink([this](std::string_view line) { traces.emplace_back(line); });
        setEventLineObserver([this](int level, const char* line) {
            events.push_back(std::to_string(level) + " " + line);
        });
    }
    ~Capture() {
        platform::setTraceSink({});
        setEventLineObserver({});
    }
    int count(const std::string& trace) const {
        int n = 0;
        for (const auto& t : traces) {
            n += t == trace ? 1 : 0;
        }
        return n;
    }
    bool hasTraceContaining(const std::string& part) const {
        for (const auto& t : traces) {
            if (t.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    std::vector<std::string> traces;
    std::vector<std::string> events;
};

// A GUI loop on a hand-moved clock, the settings (Server mode unless a test
// changes it), and an attached link that records its commands.
class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setGuiLoop(&loop);
        settings = std::make_unique<CPropaty>();
        settings->setAppMode(0);
        link = XR_SKYPECOM::getInstance();
        link->setTransport(&transport);
        link->onAttachMessage(link->getAttachMessageId(), kDriverWindow, 0);
        transport.commands.clear();
    }
    void TearDown() override {
        XR_SKYPEMODEL::releaseInstance();
        XR_SKYPECOM::releaseInstance();
        settings.reset();
        platform::setGuiLoop(nullptr);
    }
    // Re-attaches after a test made a send fail.
    void reattach() { link->onAttachMessage(link->getAttachMessageId(), kDriverWindow, 0); }

    std::vector<std::string> writes() const {
        std::vector<std::string> result;
        for (const auto& c : transport.commands) {
            if (c.find(" WRITE ") != std::string::npos) {
                result.push_back(c);
            }
        }
        return result;
    }

    platform::ManualClock clock;
    platform::PollEventLoop loop{clock};
    std::unique_ptr<CPropaty> settings;
    RecordingTransport transport;
    XR_SKYPECOM* link = nullptr;
};

}  // namespace tunneltest
