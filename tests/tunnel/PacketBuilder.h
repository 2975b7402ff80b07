#pragma once

// Tunnel packets built field by field, and their text forms, for the tests
// and the fuzz targets (no test framework needed here).

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tcp/TunnelPacket.h"

namespace tunneltest {

struct PacketFields {
    uint16_t kind = 0;
    uint16_t code = 0;
    uint16_t port = 0;
    uint32_t sequence = 0;
    std::string payload;
    uint16_t controlState = 0;
    uint16_t controlFree = 0;
    uint16_t result = 0;
    uint16_t error = 0;
};

inline std::vector<unsigned char> buildPacket(const PacketFields& fields) {
    std::vector<unsigned char> packet(kPacketHeaderBytes + fields.payload.size(), 0);
    initPacketHeader(packet.data());
    storePacketU16(packet.data(), kOffsetDataLength, static_cast<uint16_t>(fields.payload.size()));
    storePacketU16(packet.data(), kOffsetPort, fields.port);
    storePacketU16(packet.data(), kOffsetKind, fields.kind);
    storePacketU16(packet.data(), kOffsetCode, fields.code);
    storePacketU16(packet.data(), kOffsetResult, fields.result);
    storePacketU16(packet.data(), kOffsetError, fields.error);
    storePacketU16(packet.data(), kOffsetControlState, fields.controlState);
    storePacketU16(packet.data(), kOffsetControlFree, fields.controlFree);
    storePacketU32(packet.data(), kOffsetSequence, fields.sequence);
    if (!fields.payload.empty()) {
        std::memcpy(packet.data() + kPacketHeaderBytes, fields.payload.data(),
                    fields.payload.size());
    }
    return packet;
}

inline std::string hexOf(const std::vector<unsigned char>& packet) {
    std::string text(packet.size() * 2 + 1, '\0');
    encodeHex(packet.data(), packet.size(), text.data());
    text.resize(packet.size() * 2);
    return text;
}

// The read reply text repRead gets: key, space, hexadecimal packet.
inline std::string readReply(const std::string& key, const PacketFields& fields) {
    return key + " " + hexOf(buildPacket(fields));
}

// The packet of a recorded "ALTER APPLICATION a WRITE u:n <hex>" command.
inline std::vector<unsigned char> packetOfWrite(const std::string& command) {
    const size_t space = command.rfind(' ');
    const std::string hex = command.substr(space + 1);
    std::vector<unsigned char> packet(hex.size() / 2 + 1, 0);
    const int n = decodeHex(hex.c_str(), packet.data());
    packet.resize(static_cast<size_t>(n));
    return packet;
}

}  // namespace tunneltest
