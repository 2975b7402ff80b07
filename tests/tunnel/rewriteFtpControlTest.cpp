#include "tunnel/rewriteFtpControl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <string>
#include <vector>

#include "tcp/TunnelPacket.h"
#include "tunnel/eventLine.h"

namespace {

constexpr int kUnchanged = -2;  // the expected text is the input itself

// Stands in for the stream: records the listeners asked for.
class FakeTarget : public FtpRewriteTarget {
public:
    int openDataLinkServer(int port, uint32_t bindAddress) override {
        opened.push_back(port);
        boundTo.push_back(bindAddress);
        return listenerPort;
    }
    uint32_t controlLocalAddress() override { return address; }
    const char* peerUser() override { return "bob"; }
    const char* serverHost() override { return "localhost"; }

    int listenerPort = 50000;
    uint32_t address = inet_addr("10.0.0.5");
    std::vector<int> opened;
    std::vector<uint32_t> boundTo;
};

std::vector<unsigned char> makePacket(const std::string& payload, size_t capacity) {
    std::vector<unsigned char> packet(capacity, 0);
    initPacketHeader(packet.data());
    storePacketU16(packet.data(), kOffsetKind, kKindControlData);
    storePacketU16(packet.data(), kOffsetDataLength, static_cast<uint16_t>(payload.size()));
    std::memcpy(packet.data() + kPacketHeaderBytes, payload.data(), payload.size());
    return packet;
}

std::string payloadOf(const std::vector<unsigned char>& packet) {
    const size_t length = loadPacketU16(packet.data(), kOffsetDataLength);
    return std::string(reinterpret_cast<const char*>(packet.data() + kPacketHeaderBytes), length);
}

struct RewriteCase {
    const char* what;
    std::string input;
    int listenerPort;       // what the data-link listener reports
    std::string expected;   // ignored when openedPort says unchanged
    int openedPort;         // the port a listener is asked for; 0: none asked
    const char* eventLine;  // nullptr: none
};

void PrintTo(const RewriteCase& row, std::ostream* os) {
    *os << row.what;
}

class RewriteTable : public ::testing::TestWithParam<RewriteCase> {
protected:
    void SetUp() override {
        setEventLineObserver([this](int, const char* line) { lines.emplace_back(line); });
    }
    void TearDown() override { setEventLineObserver({}); }
    std::vector<std::string> lines;
};

TEST_P(RewriteTable, RewritesOrLeavesTheFirstLine) {
    const RewriteCase& row = GetParam();
    FakeTarget target;
    target.listenerPort = row.listenerPort;
    auto packet = makePacket(row.input, kMaxQueuedPacketBytes);

    rewriteFtpControl(target, packet.data(), packet.size());

    const std::string expected = row.expected.empty() ? row.input : row.expected;
    EXPECT_EQ(payloadOf(packet), expected) << row.what;
    if (row.openedPort == 0) {
        EXPECT_TRUE(target.opened.empty()) << row.what;
    } else {
        ASSERT_EQ(target.opened.size(), 1u) << row.what;
        EXPECT_EQ(target.opened[0], row.openedPort) << row.what;
        EXPECT_EQ(target.boundTo[0], inet_addr("10.0.0.5"))
            << row.what << ": bound to control address";
    }
    if (row.eventLine == nullptr) {
        EXPECT_TRUE(lines.empty()) << row.what << ": " << (lines.empty() ? "" : lines[0]);
    } else {
        ASSERT_EQ(lines.size(), 1u) << row.what;
        EXPECT_EQ(lines[0], row.eventLine) << row.what;
    }
}

// The classic forms.
INSTANTIATE_TEST_SUITE_P(
    Classic, RewriteTable,
    ::testing::Values(
        RewriteCase{"passive reply", "227 Entering Passive Mode (192,168,0,10,19,137)\r\n", 50000,
                    "227 ENTERING PASSIVE MODE (10,0,0,5,195,80)\r\n", 5001,
                    "bobとのFTP接続:localhostとのd-port=50000/5001 作成"},
        RewriteCase{"PORT command", "PORT 127,0,0,1,4,1\r\n", 50001, "PORT 10,0,0,5,195,81\r\n",
                    1025, "bobとのFTP接続:localhostとのd-port=50001/1025 作成"},
        RewriteCase{"lower-case PORT", "port 127,0,0,1,4,1\r\n", 50001, "PORT 10,0,0,5,195,81\r\n",
                    1025, "bobとのFTP接続:localhostとのd-port=50001/1025 作成"},
        RewriteCase{"lower-case passive reply", "227 entering passive mode (127,0,0,1,117,48)\r\n",
                    50000, "227 ENTERING PASSIVE MODE (10,0,0,5,195,80)\r\n", 30000,
                    "bobとのFTP接続:localhostとのd-port=50000/30000 作成"},
        RewriteCase{"one-digit first number", "PORT 8,8,8,8,4,1\r\n", 50001,
                    "PORT 10,0,0,5,195,81\r\n", 1025,
                    "bobとのFTP接続:localhostとのd-port=50001/1025 作成"},
        RewriteCase{"port 65536", "227 Entering Passive Mode (1,2,3,4,256,0)\r\n", 50000, "", 0,
                    nullptr},
        RewriteCase{"port 0", "PORT 127,0,0,1,0,0\r\n", 50000, "", 0, nullptr},
        RewriteCase{"prefix not at the start",
                    "200 Command okay.\r\n227 Entering Passive Mode (192,168,0,10,19,137)\r\n",
                    50000, "", 0, nullptr},
        RewriteCase{"no parenthesis", "227 Entering Passive Mode 192,168,0,10,19,137\r\n", 50000,
                    "", 0, nullptr},
        RewriteCase{"equal port", "227 Entering Passive Mode (192,168,0,10,19,137)\r\n", 5001, "",
                    5001, nullptr},
        RewriteCase{"listener failed", "PORT 127,0,0,1,4,1\r\n", -1, "", 1025,
                    "bobとのFTP接続:localhostとのd-port=1025 作成失敗."},
        RewriteCase{"second line kept",
                    "227 Entering Passive Mode (192,168,0,10,19,137)\r\n150 Opening.\r\n", 50000,
                    "227 ENTERING PASSIVE MODE (10,0,0,5,195,80)\r\n150 Opening.\r\n", 5001,
                    "bobとのFTP接続:localhostとのd-port=50000/5001 作成"},
        RewriteCase{"second command kept", "PORT 127,0,0,1,4,1\r\nLIST\r\n", 50001,
                    "PORT 10,0,0,5,195,81\r\nLIST\r\n", 1025,
                    "bobとのFTP接続:localhostとのd-port=50001/1025 作成"},
        RewriteCase{"five numbers", "PORT 127,0,0,1,4\r\n", 50000, "", 0, nullptr},
        RewriteCase{"five numbers in a reply", "227 Entering Passive Mode (127,0,0,1,4)\r\n", 50000,
                    "", 0, nullptr},
        RewriteCase{"hexadecimal number", "PORT 127,0,0,1,0x4,1\r\n", 50000, "", 0, nullptr},
        RewriteCase{"letter in the port", "PORT 127,0,0,1,4,1a\r\n", 50000, "", 0, nullptr},
        RewriteCase{"empty number", "PORT 127,,0,1,4,1\r\n", 50000, "", 0, nullptr},
        RewriteCase{"line without its end", "PORT 127,0,0,1,4,1", 50000, "", 0, nullptr},
        RewriteCase{"plain reply", "230 Login successful.\r\n", 50000, "", 0, nullptr}),
    [](const ::testing::TestParamInfo<RewriteCase>& info) {
        return "row" + std::to_string(info.index);
    });

// The extended forms.
INSTANTIATE_TEST_SUITE_P(
    Extended, RewriteTable,
    ::testing::Values(
        RewriteCase{"EPSV reply", "229 Entering Extended Passive Mode (|||5001|)\r\n", 50000,
                    "229 Entering Extended Passive Mode (|||50000|)\r\n", 5001,
                    "bobとのFTP接続:localhostとのd-port=50000/5001 作成"},
        RewriteCase{"EPSV with !", "229 Entering Extended Passive Mode (!!!5001!)\r\n", 50000,
                    "229 Entering Extended Passive Mode (!!!50000!)\r\n", 5001,
                    "bobとのFTP接続:localhostとのd-port=50000/5001 作成"},
        RewriteCase{"EPSV lower case", "229 entering extended passive mode (|||5001|)\r\n", 50000,
                    "229 entering extended passive mode (|||50000|)\r\n", 5001,
                    "bobとのFTP接続:localhostとのd-port=50000/5001 作成"},
        RewriteCase{"EPSV port 0", "229 Entering Extended Passive Mode (|||0|)\r\n", 50000, "", 0,
                    nullptr},
        RewriteCase{"EPSV port 65536", "229 Entering Extended Passive Mode (|||65536|)\r\n", 50000,
                    "", 0, nullptr},
        RewriteCase{"EPSV missing delimiter", "229 Entering Extended Passive Mode (||5001|)\r\n",
                    50000, "", 0, nullptr},
        RewriteCase{"EPSV missing close", "229 Entering Extended Passive Mode (|||5001)\r\n", 50000,
                    "", 0, nullptr},
        RewriteCase{"EPSV without field", "229 Entering Extended Passive Mode\r\n", 50000, "", 0,
                    nullptr},
        RewriteCase{"EPSV rest kept", "229 Extended (|||5001|) ok\r\n226 Done.\r\n", 50000,
                    "229 Extended (|||50000|) ok\r\n226 Done.\r\n", 5001,
                    "bobとのFTP接続:localhostとのd-port=50000/5001 作成"},
        RewriteCase{"EPRT command", "EPRT |1|132.235.1.2|6275|\r\n", 50000,
                    "EPRT |1|10.0.0.5|50000|\r\n", 6275,
                    "bobとのFTP接続:localhostとのd-port=50000/6275 作成"},
        RewriteCase{"EPRT lower case with !", "eprt !1!127.0.0.1!6275!\r\n", 50000,
                    "EPRT !1!10.0.0.5!50000!\r\n", 6275,
                    "bobとのFTP接続:localhostとのd-port=50000/6275 作成"},
        RewriteCase{"EPRT IPv6", "EPRT |2|1080::8:800:200C:417A|5282|\r\n", 50000, "", 0, nullptr},
        RewriteCase{"EPRT port 0", "EPRT |1|127.0.0.1|0|\r\n", 50000, "", 0, nullptr},
        RewriteCase{"EPRT port 65536", "EPRT |1|127.0.0.1|65536|\r\n", 50000, "", 0, nullptr},
        RewriteCase{"EPRT missing port", "EPRT |1|127.0.0.1|\r\n", 50000, "", 0, nullptr},
        RewriteCase{"EPRT missing address", "EPRT |1||6275|\r\n", 50000, "", 0, nullptr},
        RewriteCase{"EPRT missing last delimiter", "EPRT |1|127.0.0.1|6275\r\n", 50000, "", 0,
                    nullptr},
        RewriteCase{"EPRT rest kept", "EPRT |1|127.0.0.1|6275|\r\nRETR f\r\n", 50000,
                    "EPRT |1|10.0.0.5|50000|\r\nRETR f\r\n", 6275,
                    "bobとのFTP接続:localhostとのd-port=50000/6275 作成"}),
    [](const ::testing::TestParamInfo<RewriteCase>& info) {
        return "row" + std::to_string(info.index);
    });

TEST(RewriteFtpControl, DataLengthFollowsTheNewText) {
    FakeTarget target;
    auto packet = makePacket("227 Entering Passive Mode (192,168,0,10,19,137)\r\n", 4096);
    rewriteFtpControl(target, packet.data(), packet.size());
    EXPECT_EQ(loadPacketU16(packet.data(), kOffsetDataLength), 45);
}

TEST(RewriteFtpControl, UnknownControlAddressLeavesTextAndOpensNothing) {
    FakeTarget target;
    target.address = 0;
    const std::string input = "PORT 127,0,0,1,4,1\r\n";
    auto packet = makePacket(input, 4096);
    rewriteFtpControl(target, packet.data(), packet.size());
    EXPECT_EQ(payloadOf(packet), input);
    EXPECT_TRUE(target.opened.empty());
}

TEST(RewriteFtpControl, RewrittenPacketNeverOutgrowsItsCapacity) {
    FakeTarget target;
    // The new line is longer than the old one, and the rest fills the capacity.
    const std::string line = "PORT 1,2,3,4,4,1\r\n";
    const size_t capacity = 200;
    std::string input = line + std::string(capacity - kPacketHeaderBytes - line.size(), 'x');
    auto packet = makePacket(input, capacity);
    rewriteFtpControl(target, packet.data(), packet.size());
    EXPECT_EQ(payloadOf(packet), input);
}

TEST(RewriteFtpControl, MalformedHeaderIsLeftAlone) {
    FakeTarget target;
    const std::string input = "PORT 127,0,0,1,4,1\r\n";
    auto packet = makePacket(input, 4096);
    storePacketU16(packet.data(), kOffsetDataLength, 5000);  // more than the capacity holds
    rewriteFtpControl(target, packet.data(), packet.size());
    EXPECT_TRUE(target.opened.empty());
}

}  // namespace
