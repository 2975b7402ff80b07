#include "tcp/TunnelPacket.h"

#include <cstring>

#include "platform/Trace.h"

uint16_t loadPacketU16(const void* bytes, size_t offset) {
    const auto* p = static_cast<const uint8_t*>(bytes) + offset;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void storePacketU16(void* bytes, size_t offset, uint16_t value) {
    auto* p = static_cast<uint8_t*>(bytes) + offset;
    p[0] = static_cast<uint8_t>(value & 0xff);
    p[1] = static_cast<uint8_t>(value >> 8);
}

uint32_t loadPacketU32(const void* bytes, size_t offset) {
    const auto* p = static_cast<const uint8_t*>(bytes) + offset;
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void storePacketU32(void* bytes, size_t offset, uint32_t value) {
    auto* p = static_cast<uint8_t*>(bytes) + offset;
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xff);
    }
}

void initPacketHeader(TunnelPacketHeader& header) {
    header = TunnelPacketHeader{};
    header.headerLength = kPacketHeaderBytes;
    header.fixedA = kPacketFixedA;
    header.fixedB = kPacketFixedB;
}

void initPacketHeader(void* bytes) {
    TunnelPacketHeader header;
    initPacketHeader(header);
    storePacketHeader(header, bytes);
}

TunnelPacketHeader loadPacketHeader(const void* bytes) {
    TunnelPacketHeader h;
    h.headerLength = loadPacketU16(bytes, kOffsetHeaderLength);
    h.dataLength = loadPacketU16(bytes, kOffsetDataLength);
    h.fixedA = loadPacketU16(bytes, kOffsetFixedA);
    h.fixedB = loadPacketU16(bytes, kOffsetFixedB);
    h.port = loadPacketU16(bytes, kOffsetPort);
    h.kind = loadPacketU16(bytes, kOffsetKind);
    h.code = loadPacketU16(bytes, kOffsetCode);
    h.reserved14 = loadPacketU16(bytes, 14);
    h.result = loadPacketU16(bytes, kOffsetResult);
    h.error = loadPacketU16(bytes, kOffsetError);
    h.controlState = loadPacketU16(bytes, kOffsetControlState);
    h.controlFree = loadPacketU16(bytes, kOffsetControlFree);
    h.dataLinkState = loadPacketU16(bytes, kOffsetDataLinkState);
    h.dataLinkFree = loadPacketU16(bytes, kOffsetDataLinkFree);
    h.sequence = loadPacketU32(bytes, kOffsetSequence);
    std::memcpy(h.reserved32, static_cast<const uint8_t*>(bytes) + 32, sizeof h.reserved32);
    return h;
}

void storePacketHeader(const TunnelPacketHeader& h, void* bytes) {
    storePacketU16(bytes, kOffsetHeaderLength, h.headerLength);
    storePacketU16(bytes, kOffsetDataLength, h.dataLength);
    storePacketU16(bytes, kOffsetFixedA, h.fixedA);
    storePacketU16(bytes, kOffsetFixedB, h.fixedB);
    storePacketU16(bytes, kOffsetPort, h.port);
    storePacketU16(bytes, kOffsetKind, h.kind);
    storePacketU16(bytes, kOffsetCode, h.code);
    storePacketU16(bytes, 14, h.reserved14);
    storePacketU16(bytes, kOffsetResult, h.result);
    storePacketU16(bytes, kOffsetError, h.error);
    storePacketU16(bytes, kOffsetControlState, h.controlState);
    storePacketU16(bytes, kOffsetControlFree, h.controlFree);
    storePacketU16(bytes, kOffsetDataLinkState, h.dataLinkState);
    storePacketU16(bytes, kOffsetDataLinkFree, h.dataLinkFree);
    storePacketU32(bytes, kOffsetSequence, h.sequence);
    std::memcpy(static_cast<uint8_t*>(bytes) + 32, h.reserved32, sizeof h.reserved32);
}

namespace {

// The two lower-case digits of every byte value, high nibble first: the
// encoder stores one pair per byte instead of formatting each byte.
struct HexPairs {
    char pair[256][2];
    constexpr HexPairs() : pair() {
        constexpr char kDigits[] = "0123456789abcdef";
        for (int b = 0; b < 256; ++b) {
            pair[b][0] = kDigits[b >> 4];
            pair[b][1] = kDigits[b & 0x0f];
        }
    }
};
constexpr HexPairs kHexPairs;

// The value of every character as a hexadecimal digit (0 for anything that
// is not one), so the decoder needs no branch per character.
struct HexValues {
    uint8_t value[256];
    constexpr HexValues() : value() {
        for (int c = '0'; c <= '9'; ++c) {
            value[c] = static_cast<uint8_t>(c - '0');
        }
        for (int c = 'a'; c <= 'f'; ++c) {
            value[c] = static_cast<uint8_t>(c - 'a' + 10);
        }
        for (int c = 'A'; c <= 'F'; ++c) {
            value[c] = static_cast<uint8_t>(c - 'A' + 10);
        }
    }
};
constexpr HexValues kHexValues;

}  // namespace

void encodeHex(const void* bytes, size_t count, char* text) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(text + 2 * i, kHexPairs.pair[p[i]], 2);
    }
    text[2 * count] = '\0';
}

int hexDigitValue(char c) {
    return kHexValues.value[static_cast<uint8_t>(c)];
}

int decodeHex(const char* text, void* bytes) {
    return decodeHex(text, std::strlen(text), bytes);
}

int decodeHex(const char* text, size_t length, void* bytes) {
    if (length % 2 != 0) {
        platform::trace("受信データの文字数が奇数です\n");
        return 0;
    }
    const auto* in = reinterpret_cast<const uint8_t*>(text);
    auto* out = static_cast<uint8_t*>(bytes);
    const size_t count = length / 2;
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>((kHexValues.value[in[2 * i]] << 4) |
                                      kHexValues.value[in[2 * i + 1]]);
    }
    return static_cast<int>(count);
}
