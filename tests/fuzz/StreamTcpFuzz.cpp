// The receive dispatch of a stream with a TCP side, on packets built with
// valid headers (TunnelPacket.h) around fuzzed fields and payloads, some of
// them then broken on purpose (header length, data length, cut or odd hex).
// The TCP manager is a stand-in: its sockets have no worker (and, but for one
// control socket connected over loopback on request, no connection), so
// whatever the stream hands to TCP stays in their from-peer queues, where it
// is checked.
//
// Input: one byte of set-up (bit 0: a control socket from the start, bit 1:
// a data-link socket, bit 2: connect requests fail, bit 3: the control socket
// really connected over loopback, so control data is rewritten), then records of
//   flags, kind, code, port selector, result, control state, control free,
//   breakage, payload length (2 bytes), payload.
//
// Properties: a packet with a bad header reaches no queue and no TCP
// manager, sends nothing and does not step the sequence. A good one steps
// the sequence by one and adds at most one queue entry: data-link data (and
// a data-link DISCONNECT-REQUEST) byte for byte to the data-link queue,
// control data (rewritten at most in its first line, within one slot) or the
// tunnel port's DISCONNECT-REQUEST to the control queue. A data-link
// listener is asked for only by control data, for a real port, bound to the
// control connection's local address. Every queue entry
// has a 40-byte header and fits its slot; waits for room stay bounded.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/DriverFrame.h"
#include "tcp/TunnelPacket.h"
#include "tcp/XR_QUE.h"
#include "tunnel/XR_SKYPESTREAM.h"

namespace {

constexpr const char* kApplication = "QuillonForFtp2000";
constexpr const char* kKey = "bob:3 ";
constexpr size_t kMaxReplyHexChars = 2 * XR_SKYPESTREAM::kBufferBytes;
constexpr size_t kLargePayloadBytes = 31000;  // a little over one slot
constexpr size_t kSmallPayloadBytes = 1200;

enum Breakage : uint8_t {
    kIntact = 0,
    kHeaderLength,  // any other header length
    kLongerData,    // data length past the payload
    kHugeData,      // data length over one slot
    kCutHex,        // the hex text cut short
    kOddHex,        // one digit too many
    kBreakageCount,
};

struct Counts {
    int control = -1;
    int dataLink = -1;
};

Counts countsOf(fuzz::FuzzTcpManager& manager) {
    Counts counts;
    if (XR_SOCKETTCP* control = manager.getControlSocket()) {
        counts.control = control->getFromPeerQueue().getCount();
    }
    if (XR_SOCKETTCP* dataLink = manager.getDataLinkSocket()) {
        counts.dataLink = dataLink->getFromPeerQueue().getCount();
    }
    return counts;
}

// Takes every entry out of a queue, checking each header.
void drain(XR_SOCKETTCP* socket, std::vector<unsigned char>& slot) {
    if (socket == nullptr) {
        return;
    }
    while (socket->getFromPeerQueue().dequeue(slot.data()) == 1) {
        const TunnelPacketHeader header = loadPacketHeader(slot.data());
        FUZZ_CHECK(header.headerLength == kPacketHeaderBytes, "a queue entry has a 40-byte header");
        FUZZ_CHECK(header.packetSize() <= XR_QUE::kSlotBytes, "a queue entry fits its slot");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ProcessSetUp& process = fuzz::ProcessSetUp::get();
    fuzz::ByteReader in(data, size);
    RecordingTransport transport;
    XR_SKYPECOM* link = XR_SKYPECOM::getInstance();
    link->setTransport(&transport);
    link->onAttachMessage(link->getAttachMessageId(), RecordingTransport::kDriverWindow, 0);
    std::vector<unsigned char> slot(XR_QUE::kSlotBytes);
    {
        const uint8_t setUp = in.u8();
        auto owned = std::make_unique<fuzz::FuzzTcpManager>();
        fuzz::FuzzTcpManager& manager = *owned;
        manager.giveSockets((setUp & 1) != 0, (setUp & 2) != 0);
        const bool connected = (setUp & 8) != 0 && manager.giveConnectedControlSocket();
        const uint32_t loopback = htonl(INADDR_LOOPBACK);
        manager.connectResult = (setUp & 4) != 0 ? 0 : 1;
        XR_SKYPESTREAM stream("bob", 3, kApplication, 0, std::move(owned));
        int waits = 0;
        stream.setRoomWait([&waits](int) { ++waits; });

        while (!in.empty()) {
            const uint8_t flags = in.u8();
            fuzz::TunnelFields fields;
            fields.kind = (flags & 0x80) != 0 ? in.u16() : static_cast<uint16_t>(in.u8() % 5);
            fields.code = static_cast<uint16_t>(in.u8() % 4);
            const uint8_t portChoice = in.u8();
            fields.port = portChoice % 4 == 0   ? static_cast<uint16_t>(stream.getClientPort())
                          : portChoice % 4 == 1 ? 20
                          : portChoice % 4 == 2 ? 0
                                                : in.u16();
            fields.result = static_cast<uint16_t>(in.u8() % 3);
            fields.controlState = static_cast<uint16_t>(in.u8() % 3);
            fields.controlFree = in.u8();
            fields.sequence = (flags & 0x20) != 0 ? in.u32() : stream.getReceiveSequence();
            const uint8_t breakage = static_cast<uint8_t>(in.u8() % kBreakageCount);
            const size_t limit = (flags & 0x40) != 0 ? kLargePayloadBytes : kSmallPayloadBytes;
            const size_t wanted = in.u16() % (limit + 1);
            fields.payload = in.bytes(wanted);

            std::vector<unsigned char> packet = fuzz::buildPacket(fields);
            switch (breakage) {
                case kHeaderLength: {
                    storePacketU16(packet.data(), kOffsetHeaderLength, in.u16());
                    break;
                }
                case kLongerData:
                    storePacketU16(packet.data(), kOffsetDataLength,
                                   static_cast<uint16_t>(fields.payload.size() + 1 + in.u8()));
                    break;
                case kHugeData:
                    storePacketU16(packet.data(), kOffsetDataLength,
                                   static_cast<uint16_t>(XR_QUE::kSlotBytes));
                    break;
                default:
                    break;
            }
            std::string hex = fuzz::hexOf(packet);
            if (breakage == kCutHex) {
                const size_t cut = 2 * (1 + in.u8() % 40);
                hex.resize(hex.size() > cut ? hex.size() - cut : 0);
            } else if (breakage == kOddHex) {
                hex.push_back('0');
            }
            const std::string reply = kKey + hex;
            const fuzz::ReplyVerdict verdict = fuzz::judgeReply(hex.c_str(), kMaxReplyHexChars);

            const Counts before = countsOf(manager);
            const int callsBefore = manager.calls;
            const int serversBefore = manager.dataLinkServers;
            const size_t commandsBefore = transport.commands.size();
            const uint32_t sequenceBefore = stream.getReceiveSequence();
            waits = 0;
            const long dropsBefore = process.dropTraces;
            stream.repRead(reply.c_str());
            const Counts after = countsOf(manager);

            FUZZ_CHECK(waits <= XR_SKYPESTREAM::kRoomWaitTries, "waits for room are bounded");
            if (manager.dataLinkServers != serversBefore) {
                // Control text is handled as lines, so one packet may complete
                // lines held from earlier ones: several passive replies, each
                // with its own listener, may pass through at once.
                FUZZ_CHECK(manager.dataLinkServers > serversBefore && verdict.accepted &&
                               verdict.header.kind == kKindControlData,
                           "data-link listeners only for control data");
                FUZZ_CHECK(manager.lastDataLinkPort >= 1 && manager.lastDataLinkPort <= 65535,
                           "a data-link listener only for a real port");
                FUZZ_CHECK(connected && manager.lastBindAddress == loopback,
                           "the listener is bound to the control connection's local address");
            }
            if (!verdict.accepted) {
                FUZZ_CHECK(process.dropTraces > dropsBefore,
                           "a bad packet is dropped with a trace");
                FUZZ_CHECK(after.control == before.control && after.dataLink == before.dataLink,
                           "a bad packet reaches no queue");
                FUZZ_CHECK(manager.calls == callsBefore, "a bad packet reaches no TCP manager");
                FUZZ_CHECK(transport.commands.size() == commandsBefore,
                           "a bad packet sends nothing");
                FUZZ_CHECK(stream.getReceiveSequence() == sequenceBefore,
                           "a bad packet does not step the sequence");
            } else {
                FUZZ_CHECK(stream.getReceiveSequence() == sequenceBefore + 1,
                           "a good packet steps the sequence by one");
                const TunnelPacketHeader& header = verdict.header;
                const bool controlAdded =
                    before.control >= 0 && after.control == before.control + 1;
                const int dataLinkBefore = before.dataLink < 0 ? 0 : before.dataLink;
                const bool dataLinkAdded =
                    after.dataLink >= 0 && after.dataLink == dataLinkBefore + 1;
                FUZZ_CHECK(!(controlAdded && dataLinkAdded), "at most one queue entry per packet");
                if (dataLinkAdded) {
                    FUZZ_CHECK(
                        header.kind == kKindDataLinkData || (header.kind == kKindDataLinkMessage &&
                                                             header.code == kCodeDisconnectRequest),
                        "only data-link data and its end reach the data-link queue");
                    if (after.dataLink == 1) {
                        XR_SOCKETTCP* dataLink = manager.getDataLinkSocket();
                        FUZZ_CHECK(dataLink->getFromPeerQueue().dequeue(slot.data()) == 1,
                                   "the entry is there");
                        FUZZ_CHECK(std::memcmp(slot.data(), verdict.bytes.data(),
                                               header.packetSize()) == 0,
                                   "data-link bytes reach TCP as they came");
                    }
                }
                if (controlAdded) {
                    FUZZ_CHECK(
                        header.kind == kKindControlData || (header.kind == kKindControlMessage &&
                                                            header.code == kCodeDisconnectRequest &&
                                                            header.port == stream.getClientPort()),
                        "only control data and the tunnel's end reach the control queue");
                    if (after.control == 1) {
                        XR_SOCKETTCP* control = manager.getControlSocket();
                        FUZZ_CHECK(control->getFromPeerQueue().dequeue(slot.data()) == 1,
                                   "the entry is there");
                        const TunnelPacketHeader queued = loadPacketHeader(slot.data());
                        FUZZ_CHECK(queued.headerLength == kPacketHeaderBytes &&
                                       queued.packetSize() <= kMaxQueuedPacketBytes,
                                   "a queued control packet fits one slot");
                        if (header.kind != kKindControlData) {
                            FUZZ_CHECK(std::memcmp(slot.data(), verdict.bytes.data(),
                                                   header.packetSize()) == 0,
                                       "a disconnect request reaches TCP as it came");
                        }
                    }
                }
            }
            for (size_t i = commandsBefore; i < transport.commands.size(); ++i) {
                FUZZ_CHECK(transport.byteCounts[i] <= platform::driverframe::kMaxBlockBytes,
                           "a command fits one copy-data block");
            }
            if ((flags & 0x10) != 0) {
                drain(manager.getControlSocket(), slot);
                drain(manager.getDataLinkSocket(), slot);
            }
            // One pump tick: what sits in the to-peer queues (nothing) and a
            // keep-alive at most.
            stream.resumeWriting();
            stream.intervalTimer();
        }
        drain(manager.getControlSocket(), slot);
        drain(manager.getDataLinkSocket(), slot);
    }
    XR_SKYPECOM::releaseInstance();
    return 0;
}
