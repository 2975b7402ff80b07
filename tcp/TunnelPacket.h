#pragma once

#include <cstddef>
#include <cstdint>

// The tunnel packet: everything two gateways tell each other through a stream
// is one of these, a fixed 40-byte header optionally followed by TCP bytes.
// The same bytes are what the TCP side keeps in its packet queues. On the
// messaging side a packet only ever travels as lower-case hexadecimal text.
// The layout lives with the TCP side, the lowest layer that writes packets
// (its reads become data packets, its queues hold them), so that the tunnel
// above reads and writes the same layout without the TCP side reaching up.
//
// Wire layout (all fields unsigned little-endian, offsets in bytes):
//    0 headerLength (always 40)   2 dataLength        4 fixedA (2)   6 fixedB (1)
//    8 port                      10 kind             12 code         14 reserved
//   16 result                    18 error            20 controlState
//   22 controlFree               24 dataLinkState    26 dataLinkFree
//   28 sequence (32 bits)        32 reserved (8 bytes)               40 payload
//
// TunnelPacketHeader is the decoded form; loadPacketHeader/storePacketHeader
// convert between it and the bytes, so no code depends on the host's byte
// order or on the alignment of a buffer. Pure functions; any thread.

inline constexpr size_t kPacketHeaderBytes = 40;
inline constexpr uint16_t kPacketFixedA = 2;
inline constexpr uint16_t kPacketFixedB = 1;

// Field offsets inside the header, for code that patches one field in place.
inline constexpr size_t kOffsetHeaderLength = 0;
inline constexpr size_t kOffsetDataLength = 2;
inline constexpr size_t kOffsetFixedA = 4;
inline constexpr size_t kOffsetFixedB = 6;
inline constexpr size_t kOffsetPort = 8;
inline constexpr size_t kOffsetKind = 10;
inline constexpr size_t kOffsetCode = 12;
inline constexpr size_t kOffsetResult = 16;
inline constexpr size_t kOffsetError = 18;
inline constexpr size_t kOffsetControlState = 20;
inline constexpr size_t kOffsetControlFree = 22;
inline constexpr size_t kOffsetDataLinkState = 24;
inline constexpr size_t kOffsetDataLinkFree = 26;
inline constexpr size_t kOffsetSequence = 28;

// What a packet is.
enum PacketKind : uint16_t {
    kKindNull = 0,             // keep-alive, no payload
    kKindControlMessage = 1,   // code 1..3 about the control connection
    kKindDataLinkMessage = 2,  // code 1..3 about the current data link
    kKindControlData = 3,      // bytes read from the control connection
    kKindDataLinkData = 4,     // bytes read from a data link
};

// Which message a kind 1 or 2 packet carries.
enum PacketCode : uint16_t {
    kCodeNone = 0,
    kCodeConnectRequest = 1,
    kCodeConnectReply = 2,
    kCodeDisconnectRequest = 3,
};

// The result field of a connect reply.
enum PacketResult : uint16_t {
    kResultNone = 0,
    kResultConnected = 1,
    kResultFailed = 2,
};

// Sizes the system keeps to (see the producers and consumers named beside them).
inline constexpr size_t kMaxDataPayloadBytes = 10240;     // one read from TCP
inline constexpr size_t kMaxQueuedPacketBytes = 30976;    // one queue entry, header included
inline constexpr size_t kMaxReceivedPacketBytes = 65792;  // a stream's receive buffer

struct TunnelPacketHeader {
    uint16_t headerLength = 0;
    uint16_t dataLength = 0;
    uint16_t fixedA = 0;
    uint16_t fixedB = 0;
    uint16_t port = 0;
    uint16_t kind = 0;
    uint16_t code = 0;
    uint16_t reserved14 = 0;
    uint16_t result = 0;
    uint16_t error = 0;
    uint16_t controlState = 0;
    uint16_t controlFree = 0;
    uint16_t dataLinkState = 0;
    uint16_t dataLinkFree = 0;
    uint32_t sequence = 0;
    uint8_t reserved32[8] = {};

    // headerLength + dataLength: the bytes the packet occupies.
    size_t packetSize() const { return size_t{headerLength} + size_t{dataLength}; }
};

// Clears the header to zero, then sets headerLength 40, fixedA 2, fixedB 1.
void initPacketHeader(TunnelPacketHeader& header);
// The same on 40 raw bytes at `bytes`.
void initPacketHeader(void* bytes);

// Reads / writes the 40 header bytes at `bytes`.
TunnelPacketHeader loadPacketHeader(const void* bytes);
void storePacketHeader(const TunnelPacketHeader& header, void* bytes);

// Reads / writes one little-endian field at `offset` of a packet in place.
uint16_t loadPacketU16(const void* bytes, size_t offset);
void storePacketU16(void* bytes, size_t offset, uint16_t value);
uint32_t loadPacketU32(const void* bytes, size_t offset);
void storePacketU32(void* bytes, size_t offset, uint32_t value);

// Writes 2 * count lower-case hexadecimal digits and a terminating NUL into
// `text`, which must hold 2 * count + 1 characters.
void encodeHex(const void* bytes, size_t count, char* text);

// Decodes the NUL-terminated `text` into `bytes`, two characters per byte,
// and returns the number of bytes written. An odd number of characters writes
// nothing, traces it and returns 0. The caller bounds the text so that its
// half fits into `bytes`.
int decodeHex(const char* text, void* bytes);
// The same for the first `length` characters of `text` (a caller that has
// measured the text already); the characters need no terminating NUL.
int decodeHex(const char* text, size_t length, void* bytes);

// '0'..'9' -> 0..9, 'a'..'f' and 'A'..'F' -> 10..15, anything else -> 0.
int hexDigitValue(char c);
