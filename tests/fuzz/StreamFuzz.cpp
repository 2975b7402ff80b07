// The receive dispatch of a stream without sockets on arbitrary read
// replies: each input line is the text after "bob:3 " (a line starting with
// '!' is given as it is, so replies of other streams and broken keys come
// too; "*<n><text>" repeats the text n * 256 times). The TCP manager opens
// nothing and every connect request fails, so the stream never gets a socket.
//
// Properties: a reply of another stream, or a packet whose header does not
// describe the bytes that came (header length other than 40, a data length
// past the decoded bytes or over one queue slot), changes nothing: no call
// to the TCP manager, no command, no sequence step. A packet that passes
// steps the receive sequence by one and sets the peer's control state from
// its header. Every command the stream sends is a WRITE or DISCONNECT of its
// own stream key that fits one copy-data block.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/DriverFrame.h"
#include "tcp/TunnelPacket.h"
#include "tunnel/XR_SKYPESTREAM.h"

namespace {

constexpr const char* kApplication = "QuillonForFtp2000";
constexpr const char* kKey = "bob:3 ";
constexpr size_t kMaxReplyHexChars = 2 * XR_SKYPESTREAM::kBufferBytes;
constexpr size_t kRepeatUnit = 256;
constexpr size_t kMaxRepeatedChars = kMaxReplyHexChars + 4096;

void checkCommands(const RecordingTransport& transport, size_t from) {
    const std::string write = std::string("ALTER APPLICATION ") + kApplication + " WRITE bob:3 ";
    const std::string disconnect =
        std::string("ALTER APPLICATION ") + kApplication + " DISCONNECT bob:3";
    for (size_t i = from; i < transport.commands.size(); ++i) {
        const std::string& command = transport.commands[i];
        FUZZ_CHECK(command.rfind(write, 0) == 0 || command == disconnect,
                   "the stream writes or closes only its own stream");
        FUZZ_CHECK(transport.byteCounts[i] <= platform::driverframe::kMaxBlockBytes,
                   "a command fits one copy-data block");
        if (command.rfind(write, 0) == 0) {
            const fuzz::ReplyVerdict sent =
                fuzz::judgeReply(command.c_str() + write.size(), kMaxReplyHexChars);
            FUZZ_CHECK(sent.accepted, "what the stream writes passes the peer's checks");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ProcessSetUp& process = fuzz::ProcessSetUp::get();
    RecordingTransport transport;
    XR_SKYPECOM* link = XR_SKYPECOM::getInstance();
    link->setTransport(&transport);
    link->onAttachMessage(link->getAttachMessageId(), RecordingTransport::kDriverWindow, 0);
    {
        auto owned = std::make_unique<fuzz::FuzzTcpManager>();
        fuzz::FuzzTcpManager& manager = *owned;
        manager.connectResult = 0;
        XR_SKYPESTREAM stream("bob", 3, kApplication, 0, std::move(owned));
        stream.setRoomWait([](int) { FUZZ_CHECK(false, "no queue to wait for"); });

        const std::string_view text(reinterpret_cast<const char*>(data), size);
        for (std::string line : fuzz::splitLines(text)) {
            if (line.size() >= 2 && line[0] == '*') {
                // "*<n><text>": the text n * 256 times, for replies longer
                // than any buffer.
                const size_t times = static_cast<unsigned char>(line[1]) * kRepeatUnit;
                const std::string unit = line.substr(2);
                line.clear();
                for (size_t i = 0; i < times && line.size() < kMaxRepeatedChars; ++i) {
                    line += unit;
                }
            }
            const bool raw = !line.empty() && line[0] == '!';
            const std::string reply = raw ? line.substr(1) : kKey + line;
            const bool ours = std::strncmp(reply.c_str(), kKey, std::strlen(kKey)) == 0;
            const fuzz::ReplyVerdict verdict =
                fuzz::judgeReply(reply.c_str() + (ours ? std::strlen(kKey) : 0), kMaxReplyHexChars);
            const bool used = ours && verdict.accepted;

            const int callsBefore = manager.calls;
            const size_t commandsBefore = transport.commands.size();
            const uint32_t sequenceBefore = stream.getReceiveSequence();
            const long dropsBefore = process.dropTraces;
            stream.repRead(reply.c_str());
            FUZZ_CHECK((ours && !verdict.accepted) == (process.dropTraces > dropsBefore),
                       "a packet of this stream is dropped with a trace exactly when it is bad");

            FUZZ_CHECK(
                manager.getControlSocket() == nullptr && manager.getDataLinkSocket() == nullptr,
                "the stream stays without sockets");
            if (!used) {
                FUZZ_CHECK(manager.calls == callsBefore, "a dropped reply reaches no TCP manager");
                FUZZ_CHECK(transport.commands.size() == commandsBefore,
                           "a dropped reply sends nothing");
                FUZZ_CHECK(stream.getReceiveSequence() == sequenceBefore,
                           "a dropped reply does not step the sequence");
            } else {
                FUZZ_CHECK(stream.getReceiveSequence() == sequenceBefore + 1,
                           "a used packet steps the sequence by one");
                FUZZ_CHECK(stream.getPeerControlState() == verdict.header.controlState &&
                               stream.getPeerControlFree() == verdict.header.controlFree,
                           "the peer's control state comes from the header");
                FUZZ_CHECK(std::memcmp(stream.getReceiveBuffer(), verdict.bytes.data(),
                                       kPacketHeaderBytes) == 0,
                           "the header was decoded as it came");
            }
            checkCommands(transport, commandsBefore);
            // A few pump ticks: nothing is queued, so at most a keep-alive.
            stream.resumeWriting();
            const size_t pumpBefore = transport.commands.size();
            stream.intervalTimer();
            checkCommands(transport, pumpBefore);
        }
    }
    XR_SKYPECOM::releaseInstance();
    return 0;
}
