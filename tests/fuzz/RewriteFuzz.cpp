// The FTP data-link rewriting on a bare packet buffer.
//
// Input: 4 bytes of the control connection's local address (all zero: not
// known), 2 bytes of the port the data-link listener gets (0: opening it
// fails), 1 byte of room the packet may grow by, then the payload.
//
// Properties: nothing outside the packet's capacity is touched (the buffer
// is exactly that large) and the header changes in its data length only; the
// packet never grows past its capacity. With no local address, or a failed
// or same-port listener, the bytes stay as they were. A listener is asked
// for at most once, for a port of 1..65535 on the local address. A rewritten
// packet keeps everything after the first line byte for byte, and its new
// first line ends its line and names the listener's port.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "tcp/TunnelPacket.h"
#include "tunnel/rewriteFtpControl.h"

namespace {

class RecordingTarget : public FtpRewriteTarget {
public:
    int openDataLinkServer(int port, uint32_t bindAddress) override {
        ++opens;
        requestedPort = port;
        boundTo = bindAddress;
        return listenerPort;
    }
    uint32_t controlLocalAddress() override { return address; }
    const char* peerUser() override { return "bob"; }
    const char* serverHost() override { return "localhost"; }

    uint32_t address = 0;
    int listenerPort = -1;
    int opens = 0;
    int requestedPort = 0;
    uint32_t boundTo = 0;
};

size_t firstLineLength(const std::string& text) {
    const size_t end = std::strlen(text.c_str());  // the rewriting reads up to a NUL
    const size_t lf = text.find('\n');
    return lf != std::string::npos && lf < end ? lf + 1 : end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ProcessSetUp::get();  // silences traces and event lines
    fuzz::ByteReader in(data, size);
    RecordingTarget target;
    target.address = in.u32();
    const uint16_t listener = in.u16();
    target.listenerPort = listener == 0 ? -1 : listener;
    const size_t room = in.u8();
    fuzz::TunnelFields fields;
    fields.kind = kKindControlData;
    fields.port = 21;
    fields.payload = in.bytes(in.remaining() < 0xFFFF ? in.remaining() : 0xFFFF);
    const std::vector<unsigned char> original = fuzz::buildPacket(fields);

    std::vector<unsigned char> packet(original);
    packet.resize(original.size() + room, 0xA5);  // the room holds a pattern, not zeros
    const std::vector<unsigned char> before(packet);
    rewriteFtpControl(target, packet.data(), packet.size());

    const TunnelPacketHeader header = loadPacketHeader(packet.data());
    TunnelPacketHeader expected = loadPacketHeader(original.data());
    expected.dataLength = header.dataLength;
    unsigned char expectedBytes[kPacketHeaderBytes];
    storePacketHeader(expected, expectedBytes);
    FUZZ_CHECK(std::memcmp(packet.data(), expectedBytes, kPacketHeaderBytes) == 0,
               "only the data length of the header changes");
    FUZZ_CHECK(header.packetSize() <= packet.size(), "the packet stays within its capacity");
    FUZZ_CHECK(target.opens <= 1, "at most one listener per packet");
    if (target.opens == 1) {
        FUZZ_CHECK(target.requestedPort >= 1 && target.requestedPort <= 65535,
                   "a listener only for a real port");
        FUZZ_CHECK(target.address != 0 && target.boundTo == target.address,
                   "the listener is bound to the control connection's address");
    }
    const bool unchanged = packet == before;
    if (target.address == 0 || target.opens == 0 || target.listenerPort == -1 ||
        target.listenerPort == target.requestedPort) {
        FUZZ_CHECK(unchanged, "nothing to rewrite leaves the packet as it was");
        return 0;
    }
    if (unchanged) {
        return 0;  // it did not fit: left as it was
    }
    const std::string oldText(fields.payload);
    const std::string newText(reinterpret_cast<const char*>(packet.data()) + kPacketHeaderBytes,
                              header.dataLength);
    const size_t oldLine = firstLineLength(oldText);
    FUZZ_CHECK(oldLine > 0 && oldText[oldLine - 1] == '\n', "only a whole line is rewritten");
    const std::string rest = oldText.substr(oldLine);
    FUZZ_CHECK(newText.size() >= rest.size() &&
                   newText.compare(newText.size() - rest.size(), rest.size(), rest) == 0,
               "everything after the first line stays");
    const std::string newLine = newText.substr(0, newText.size() - rest.size());
    FUZZ_CHECK(
        !newLine.empty() && newLine.back() == '\n' && newLine.find('\n') == newLine.size() - 1,
        "the new first line is one line");
    const std::string decimal = std::to_string(target.listenerPort);
    const std::string pair =
        std::to_string(target.listenerPort / 256) + "," + std::to_string(target.listenerPort % 256);
    FUZZ_CHECK(
        newLine.find(decimal) != std::string::npos || newLine.find(pair) != std::string::npos,
        "the new line names the listener's port");
    for (size_t i = kPacketHeaderBytes + header.dataLength; i < packet.size(); ++i) {
        FUZZ_CHECK(packet[i] == (i < original.size() ? 0 : 0xA5),
                   "bytes behind the text are cleared or left as they were");
    }
    return 0;
}
