#include "tunnel/FtpControlFilter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tunnel/eventLine.h"

namespace {

class FakeTarget : public FtpRewriteTarget {
public:
    int openDataLinkServer(int port, uint32_t) override {
        opened.push_back(port);
        return listenerPort;
    }
    uint32_t controlLocalAddress() override { return address; }
    const char* peerUser() override { return "bob"; }
    const char* serverHost() override { return "localhost"; }

    int listenerPort = 50000;  // 195,80
    uint32_t address = inet_addr("10.0.0.5");
    std::vector<int> opened;
};

struct FilterCase {
    const char* what;
    std::vector<std::string> packets;  // the control data as it arrives
    std::vector<std::string> outputs;  // what each packet lets through
    std::vector<int> opened;           // listeners asked for, in order
    int listenerPort = 50000;
};

void PrintTo(const FilterCase& row, std::ostream* os) {
    *os << row.what;
}

class FilterTable : public ::testing::TestWithParam<FilterCase> {
protected:
    void SetUp() override {
        setEventLineObserver([](int, const char*) {});
    }
    void TearDown() override { setEventLineObserver({}); }
};

TEST_P(FilterTable, ChecksEveryLine) {
    const FilterCase& row = GetParam();
    ASSERT_EQ(row.packets.size(), row.outputs.size()) << row.what;
    FakeTarget target;
    target.listenerPort = row.listenerPort;
    FtpControlFilter filter;
    for (size_t i = 0; i < row.packets.size(); ++i) {
        std::string out;
        ASSERT_EQ(filter.filter(target, row.packets[i].data(), row.packets[i].size(), out), 1)
            << row.what << ", packet " << i;
        EXPECT_EQ(out, row.outputs[i]) << row.what << ", packet " << i;
    }
    EXPECT_EQ(target.opened, row.opened) << row.what;
}

const std::string kPortOut = "PORT 10,0,0,5,195,80\r\n";
const std::string kPassiveOut = "227 ENTERING PASSIVE MODE (10,0,0,5,195,80)\r\n";
const std::string kRefused = "425 Can't open data connection.\r\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, FilterTable,
    ::testing::Values(
        FilterCase{"plain lines pass byte for byte",
                   {"USER demo\r\nPASS x\r\n"},
                   {"USER demo\r\nPASS x\r\n"},
                   {}},
        FilterCase{"PORT after another line in one packet",
                   {"NOOP\r\nPORT 127,0,0,1,24,235\r\n"},
                   {"NOOP\r\n" + kPortOut},
                   {6379}},
        FilterCase{"PORT split over two packets",
                   {"PORT 127,0,0,", "1,24,235\r\n"},
                   {"", kPortOut},
                   {6379}},
        FilterCase{"line end split between CR and LF",
                   {"PORT 127,0,0,1,24,235\r", "\nLIST\r\n"},
                   {"", kPortOut + "LIST\r\n"},
                   {6379}},
        FilterCase{"partial plain line held until its end",
                   {"RETR fi", "le.bin\r\nQU", "IT\r\n"},
                   {"", "RETR file.bin\r\n", "QUIT\r\n"},
                   {}},
        FilterCase{"second passive reply of a packet",
                   {"150 ok\r\n227 Entering Passive Mode (127,0,0,1,24,235).\r\n"},
                   {"150 ok\r\n" + kPassiveOut},
                   {6379}},
        FilterCase{"multi-line passive reply keeps only its last line",
                   {"227-Entering Passive Mode (127,0,0,1,24,235)\r\n (127,0,0,1,24,235)\r\n",
                    "227 Entering Passive Mode (127,0,0,1,24,236)\r\n"},
                   {"", kPassiveOut},
                   {6380}},
        FilterCase{"multi-line extended passive reply",
                   {"229-Extended (|||6379|)\r\n229 Extended (|||6380|)\r\n"},
                   {"229 Extended (|||50000|)\r\n"},
                   {6380}},
        FilterCase{"extended passive reply split over packets",
                   {"229 Entering Extended Passive Mode (|||63", "79|)\r\n"},
                   {"", "229 Entering Extended Passive Mode (|||50000|)\r\n"},
                   {6379}},
        FilterCase{"passive reply in another wording",
                   {"227 =127,0,0,1,24,235\r\n"},
                   {kPassiveOut},
                   {6379}},
        FilterCase{"passive reply without numbers is refused",
                   {"227 Entering Passive Mode\r\n"},
                   {kRefused},
                   {}},
        FilterCase{"passive reply with port 65536 is refused",
                   {"227 Entering Passive Mode (1,2,3,4,256,0)\r\n"},
                   {kRefused},
                   {}},
        FilterCase{"long passive reply is refused",
                   {"228 Entering Long Passive Mode (4,4,127,0,0,1,2,24,235)\r\n"},
                   {kRefused},
                   {}},
        FilterCase{
            "malformed PORT becomes the bare command", {"PORT 127,0,0,1,24\r\n"}, {"PORT\r\n"}, {}},
        FilterCase{"lower-case PORT with Telnet bytes before it",
                   {"\xff\xf4\xff\xf2port 127,0,0,1,24,235\r\n"},
                   {kPortOut},
                   {6379}},
        FilterCase{"EPRT is rewritten",
                   {"EPRT |1|127.0.0.1|6379|\r\n"},
                   {"EPRT |1|10.0.0.5|50000|\r\n"},
                   {6379}},
        FilterCase{
            "IPv6 EPRT becomes the bare command", {"EPRT |2|::1|6379|\r\n"}, {"EPRT\r\n"}, {}},
        FilterCase{
            "LPRT becomes the bare command", {"LPRT 4,4,127,0,0,1,2,24,235\r\n"}, {"LPRT\r\n"}, {}},
        FilterCase{"feature lines pass",
                   {"211-Features:\r\n EPRT\r\n EPSV\r\n PASV\r\n211 End\r\n"},
                   {"211-Features:\r\n EPRT\r\n EPSV\r\n PASV\r\n211 End\r\n"},
                   {}},
        FilterCase{"a reply line ends a multi-line passive reply",
                   {"227-x\r\n (127,0,0,1,24,235)\r\n200 ok\r\n"},
                   {"200 ok\r\n"},
                   {}},
        FilterCase{"listener on the announced port leaves the line",
                   {"PORT 10,0,0,5,195,80\r\n"},
                   {kPortOut},
                   {50000},
                   50000},
        FilterCase{"no listener: the PORT never passes",
                   {"PORT 127,0,0,1,24,235\r\n"},
                   {"PORT\r\n"},
                   {6379},
                   -1}),
    [](const ::testing::TestParamInfo<FilterCase>& info) {
        return "row" + std::to_string(info.index);
    });

TEST(FtpControlFilter, WithoutAControlAddressNothingPasses) {
    FakeTarget target;
    target.address = 0;
    FtpControlFilter filter;
    std::string out;
    const std::string in =
        "PORT 127,0,0,1,24,235\r\n227 Entering Passive Mode (127,0,0,1,24,235)\r\n";
    ASSERT_EQ(filter.filter(target, in.data(), in.size(), out), 1);
    EXPECT_EQ(out, "PORT\r\n" + kRefused);
    EXPECT_TRUE(target.opened.empty());
}

TEST(FtpControlFilter, OverlongLineFailsUntilReset) {
    FakeTarget target;
    FtpControlFilter filter;
    std::string out;
    const std::string part(FtpLineAssembler::kMaxLineBytes / 2, 'A');
    EXPECT_EQ(filter.filter(target, part.data(), part.size(), out), 1);
    EXPECT_EQ(filter.heldBytes(), part.size());
    EXPECT_EQ(filter.filter(target, part.data(), part.size(), out), 1) << "exactly the limit";
    EXPECT_EQ(filter.filter(target, "B", 1, out), 0) << "one byte over";
    const std::string next = "PORT 127,0,0,1,24,235\r\n";
    EXPECT_EQ(filter.filter(target, next.data(), next.size(), out), 0) << "stays failed";
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(target.opened.empty());
    filter.reset();
    EXPECT_EQ(filter.filter(target, next.data(), next.size(), out), 1);
    EXPECT_EQ(out, kPortOut);
}

TEST(FtpLineAssembler, SkippingModeDropsOnlyTheOverlongLine) {
    FtpLineAssembler lines(true);
    std::vector<std::string> seen;
    const auto collect = [&](std::string_view line) { seen.emplace_back(line); };
    const std::string big(FtpLineAssembler::kMaxLineBytes + 10, 'x');
    EXPECT_EQ(lines.feed("A\r\n", 3, collect), 1);
    EXPECT_EQ(lines.feed(big.data(), big.size(), collect), 0);
    EXPECT_EQ(lines.feed("tail\r\nB\r\n", 9, collect), 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"A\r\n", "B\r\n"}));
}

}  // namespace
