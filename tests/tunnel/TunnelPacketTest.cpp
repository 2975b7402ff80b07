#include "tcp/TunnelPacket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/Trace.h"

namespace {

// Collects every trace line while it lives.
class TraceCapture {
public:
    TraceCapture() {
        platform::setTraceSink([this](std::string_view line) { lines.emplace_back(line); });
    }
    ~TraceCapture() { platform::setTraceSink({}); }
    std::vector<std::string> lines;
};

std::string hexOf(const void* bytes, size_t count) {
    std::string text(2 * count + 1, '\0');
    encodeHex(bytes, count, text.data());
    text.resize(2 * count);
    return text;
}

TEST(TunnelPacket, FreshHeaderHasOnlyTheFixedFields) {
    uint8_t bytes[kPacketHeaderBytes];
    std::memset(bytes, 0xee, sizeof bytes);
    initPacketHeader(bytes);
    EXPECT_EQ(hexOf(bytes, sizeof bytes),
              "2800000002000100000000000000000000000000000000000000000000000000000000000000"
              "0000");
    const TunnelPacketHeader h = loadPacketHeader(bytes);
    EXPECT_EQ(h.headerLength, 40);
    EXPECT_EQ(h.fixedA, 2);
    EXPECT_EQ(h.fixedB, 1);
    EXPECT_EQ(h.packetSize(), 40u);
}

TEST(TunnelPacket, NullPacketWithSequenceFiveIsTheEightyCharacterText) {
    TunnelPacketHeader h;
    initPacketHeader(h);
    h.sequence = 5;
    uint8_t bytes[kPacketHeaderBytes];
    storePacketHeader(h, bytes);
    const std::string text = hexOf(bytes, h.packetSize());
    EXPECT_EQ(text,
              "28000000020001000000000000000000000000000000000000000000050000000000000000000000");
    EXPECT_EQ(text.size(), 80u);
}

TEST(TunnelPacket, ConnectReplyExampleByteForByte) {
    TunnelPacketHeader h;
    initPacketHeader(h);
    h.port = 21;
    h.kind = kKindControlMessage;
    h.code = kCodeConnectReply;
    h.result = kResultConnected;
    h.error = 0;
    h.controlState = 2;
    h.controlFree = 30;
    h.sequence = 7;
    uint8_t bytes[kPacketHeaderBytes];
    storePacketHeader(h, bytes);
    EXPECT_EQ(hexOf(bytes, sizeof bytes),
              "2800000002000100150001000200000001000000"
              "02001e0000000000070000000000000000000000");
}

TEST(TunnelPacket, DataPacketWithTenBytesIsOneHundredCharactersAndRoundTrips) {
    uint8_t packet[kPacketHeaderBytes + 10] = {};
    initPacketHeader(packet);
    storePacketU16(packet, kOffsetDataLength, 10);
    storePacketU16(packet, kOffsetKind, kKindControlData);
    storePacketU16(packet, kOffsetPort, 21);
    for (int i = 0; i < 10; ++i) {
        packet[kPacketHeaderBytes + i] = static_cast<uint8_t>(0xf0 + i);
    }
    const TunnelPacketHeader h = loadPacketHeader(packet);
    ASSERT_EQ(h.packetSize(), 50u);
    const std::string text = hexOf(packet, h.packetSize());
    EXPECT_EQ(text.size(), 100u);
    EXPECT_EQ(text.substr(80), "f0f1f2f3f4f5f6f7f8f9");

    uint8_t decoded[64] = {};
    EXPECT_EQ(decodeHex(text.c_str(), decoded), 50);
    EXPECT_EQ(std::memcmp(decoded, packet, 50), 0);
}

TEST(TunnelPacket, HeaderFieldsRoundTripThroughBytes) {
    TunnelPacketHeader h;
    initPacketHeader(h);
    h.dataLength = 0x1234;
    h.port = 0xfffe;
    h.kind = 4;
    h.code = 3;
    h.result = 2;
    h.error = 10061;
    h.controlState = 1;
    h.controlFree = 29;
    h.dataLinkState = 2;
    h.dataLinkFree = 7;
    h.sequence = 0x89abcdef;
    uint8_t bytes[kPacketHeaderBytes];
    storePacketHeader(h, bytes);
    EXPECT_EQ(bytes[kOffsetSequence], 0xef);  // little-endian
    EXPECT_EQ(bytes[kOffsetSequence + 3], 0x89);
    EXPECT_EQ(loadPacketU16(bytes, kOffsetError), 10061);
    const TunnelPacketHeader back = loadPacketHeader(bytes);
    EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);
}

TEST(TunnelPacket, HexDigitValues) {
    struct Row {
        char c;
        int value;
    };
    const Row rows[] = {{'0', 0},  {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10},
                        {'F', 15}, {'g', 0}, {'G', 0},  {'z', 0},  {' ', 0},
                        {'/', 0},  {':', 0}, {'@', 0},  {'`', 0},  {'\x80', 0}};
    for (const Row& row : rows) {
        EXPECT_EQ(hexDigitValue(row.c), row.value) << "character code " << int(row.c);
    }
}

TEST(TunnelPacket, DecodeTable) {
    struct Row {
        const char* text;
        std::vector<uint8_t> bytes;
    };
    const Row rows[] = {
        {"0A00", {0x0a, 0x00}}, {"0a00", {0x0a, 0x00}}, {"1g", {0x10}},
        {"zz", {0x00}},         {"FFff", {0xff, 0xff}}, {"", {}},
    };
    for (const Row& row : rows) {
        TraceCapture traces;
        uint8_t out[8];
        std::memset(out, 0xcc, sizeof out);
        const int n = decodeHex(row.text, out);
        ASSERT_EQ(n, static_cast<int>(row.bytes.size())) << "text \"" << row.text << "\"";
        EXPECT_EQ(std::vector<uint8_t>(out, out + n), row.bytes) << "text \"" << row.text << "\"";
        EXPECT_EQ(out[n], 0xcc) << "wrote past the end for \"" << row.text << "\"";
        EXPECT_TRUE(traces.lines.empty()) << "text \"" << row.text << "\"";
    }
    uint8_t out[2] = {};
    ASSERT_EQ(decodeHex("0A00", out), 2);
    EXPECT_EQ(loadPacketU16(out, 0), 10);
}

TEST(TunnelPacket, OddLengthDecodesToNothingWithTheTrace) {
    const std::string text(81, 'a');
    TraceCapture traces;
    uint8_t out[64];
    std::memset(out, 0xcc, sizeof out);
    EXPECT_EQ(decodeHex(text.c_str(), out), 0);
    for (uint8_t b : out) {
        ASSERT_EQ(b, 0xcc);
    }
    ASSERT_EQ(traces.lines.size(), 1u);
    EXPECT_EQ(traces.lines[0], "受信データの文字数が奇数です\n");
}

TEST(TunnelPacket, EncodeWritesLowerCaseAndTheTerminatingNul) {
    const uint8_t bytes[] = {0x00, 0xab, 0xcd, 0xef, 0x7f};
    char text[12];
    std::memset(text, 'x', sizeof text);
    encodeHex(bytes, sizeof bytes, text);
    EXPECT_STREQ(text, "00abcdef7f");
    EXPECT_EQ(text[11], 'x');
    encodeHex(bytes, 0, text);
    EXPECT_STREQ(text, "");
}

}  // namespace
