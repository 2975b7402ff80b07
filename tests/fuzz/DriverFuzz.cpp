// The driver's input parsers on arbitrary bytes: the frame reader (fed in
// chunks of varying size), the command parser, and the hub handling every
// command line of two attached clients of mutual contacts.
//
// Properties: the reader never takes more than it is given, stops for good
// after an error, and gives back exactly the frames it consumed (encoded
// again they are the consumed bytes); a frame's body fits its type and the
// limits. A line the parser rejects gets exactly its ERROR reply; everything
// the hub says goes to an open session and fits one copy-data block; the
// stream count stays within the per-session limit.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "driver/DriverCommand.h"
#include "driver/DriverHub.h"
#include "platform/Clock.h"
#include "platform/DriverFrame.h"
#include "platform/PollEventLoop.h"
#include "platform/Trace.h"

namespace {

using platform::DriverFrameReader;
namespace frame = platform::driverframe;

struct Said {
    int session;
    std::string text;
};

class RecordingOutbox : public DriverOutbox {
public:
    void sendAttach(SessionId session, int code) override {
        attaches.push_back(session);
        (void)code;
    }
    void sendText(SessionId session, const std::string& text) override {
        said.push_back({session, text});
    }
    void dropSession(SessionId session) override { dropped.push_back(session); }
    std::vector<int> attaches;
    std::vector<Said> said;
    std::vector<int> dropped;
};

std::string wordBytes(uint32_t value) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<char>((value >> (8 * (3 - i))) & 0xFF);
    }
    return out;
}

std::string encodedAgain(const frame::Frame& f) {
    switch (f.type) {
        case frame::kDiscover:
            return frame::encodeDiscover();
        case frame::kAttach:
            return frame::encodeAttach(f.word());
        case frame::kResult:
            return frame::encodeResult(f.word());
        default:
            return wordBytes(static_cast<uint32_t>(f.body.size())) + f.type + f.body;
    }
}

void checkCommand(std::string_view line) {
    const DriverCommand command = parseCommand(line);
    using Kind = DriverCommand::Kind;
    if (command.kind == Kind::kError) {
        const std::string reply = command.errorReply();
        FUZZ_CHECK(reply.rfind("ERROR " + std::to_string(command.errorCode) + " ", 0) == 0,
                   "an error reply names its code");
        return;
    }
    switch (command.kind) {
        case Kind::kGetUser:
        case Kind::kConnect:
        case Kind::kDisconnect:
        case Kind::kRead:
        case Kind::kWrite:
            FUZZ_CHECK(isValidHandle(command.user), "a parsed user is a valid handle");
            break;
        default:
            break;
    }
    switch (command.kind) {
        case Kind::kGetConnectable:
        case Kind::kCreateApplication:
        case Kind::kDeleteApplication:
        case Kind::kConnect:
        case Kind::kDisconnect:
        case Kind::kWrite:
        case Kind::kRead:
            FUZZ_CHECK(isValidApplicationName(command.application),
                       "a parsed application name is valid");
            break;
        default:
            break;
    }
    if (command.kind == Kind::kDisconnect || command.kind == Kind::kRead ||
        command.kind == Kind::kWrite) {
        FUZZ_CHECK(command.streamId >= 1, "a stream id is positive");
    }
    if (command.kind == Kind::kWrite) {
        FUZZ_CHECK(!command.text.empty() && command.text.size() <= DriverCommand::kMaxWriteBytes,
                   "a WRITE's text is 1 to 65535 bytes");
    }
}

class HubRun {
public:
    HubRun() : hub(loop, outbox) {
        hub.setLogSink([](const std::string&) {});
        std::string error;
        DriverHub::AccountSettings alice;
        alice.handle = "alice";
        alice.contacts = {"bob"};
        DriverHub::AccountSettings bob;
        bob.handle = "bob";
        bob.contacts = {"alice"};
        FUZZ_CHECK(hub.addAccount(alice, error) && hub.addAccount(bob, error), "accounts set up");
        sessions[0] = hub.openSession("alice");
        sessions[1] = hub.openSession("bob");
        hub.discover(sessions[0]);
        hub.discover(sessions[1]);
        FUZZ_CHECK(hub.isAttached(sessions[0]) && hub.isAttached(sessions[1]), "both attached");
    }

    void command(int who, std::string_view line) {
        const size_t before = outbox.said.size();
        hub.handleCommand(sessions[who], line);
        const DriverCommand parsed = parseCommand(line);
        if (parsed.kind == DriverCommand::Kind::kError) {
            FUZZ_CHECK(outbox.said.size() == before + 1, "a rejected line gets one reply");
            FUZZ_CHECK(outbox.said.back().session == sessions[who], "to its sender");
            FUZZ_CHECK(outbox.said.back().text == parsed.errorReply(), "its ERROR reply");
        }
        for (size_t i = before; i < outbox.said.size(); ++i) {
            const Said& s = outbox.said[i];
            FUZZ_CHECK(s.session == sessions[0] || s.session == sessions[1],
                       "the hub speaks only to open sessions");
            FUZZ_CHECK(s.text.size() + 1 <= frame::kMaxBlockBytes,
                       "every text fits one copy-data block");
        }
        FUZZ_CHECK(hub.streamCount() <= 2 * DriverHub::kMaxStreamsPerSession,
                   "streams stay within the per-session limit");
        FUZZ_CHECK(outbox.dropped.empty(), "no session is dropped by a command");
        // Time moves, so timers the hub set (none expected) would run too.
        clock.advance(1000);
        loop.runOnce(0);
    }

private:
    platform::ManualClock clock;
    platform::PollEventLoop loop{clock};
    RecordingOutbox outbox;
    DriverHub hub;
    DriverHub::SessionId sessions[2] = {0, 0};
};

void readFrames(const uint8_t* data, size_t size, HubRun& hub) {
    static constexpr size_t kChunkSizes[] = {1, 5, 4, 3, 64, 7, 4096, 2};
    const size_t first = size > 0 ? data[0] % 8 : 0;
    DriverFrameReader reader;
    std::string consumed;
    std::string reencoded;
    size_t at = 0;
    size_t turn = first;
    while (at < size) {
        const size_t chunk = std::min(kChunkSizes[turn++ % 8], size - at);
        const size_t used = reader.push(reinterpret_cast<const char*>(data + at), chunk);
        FUZZ_CHECK(used <= chunk, "push takes no more than it is given");
        consumed.append(reinterpret_cast<const char*>(data + at), used);
        at += used;
        frame::Frame f;
        const DriverFrameReader::Result result = reader.next(f);
        if (result == DriverFrameReader::Result::kError) {
            FUZZ_CHECK(reader.inError() && !reader.errorText().empty(), "an error says why");
            FUZZ_CHECK(reader.push(reinterpret_cast<const char*>(data), size) == 0,
                       "a reader in error takes nothing more");
            return;
        }
        if (result == DriverFrameReader::Result::kNeedMore) {
            FUZZ_CHECK(used == chunk, "the reader wants more only after taking everything");
            continue;
        }
        FUZZ_CHECK(f.body.size() <= frame::kMaxBodyBytes, "a body within the limit");
        switch (f.type) {
            case frame::kDiscover:
                FUZZ_CHECK(f.body.empty(), "discover has no body");
                break;
            case frame::kAttach:
            case frame::kResult:
                FUZZ_CHECK(f.body.size() == frame::kWordBytes, "a word body");
                break;
            case frame::kCopyData: {
                FUZZ_CHECK(f.body.size() >= frame::kWordBytes, "copy data has its tag");
                const std::string_view block = f.block();
                FUZZ_CHECK(block.size() + frame::kWordBytes <= f.body.size(),
                           "the block lies inside the body");
                const std::string_view text = block.substr(0, block.find('\0'));
                checkCommand(text);
                hub.command(0, text);
                break;
            }
            default:
                FUZZ_CHECK(false, "only known frame types come out");
        }
        reencoded += encodedAgain(f);
        FUZZ_CHECK(reencoded == consumed, "frames encoded again are the bytes consumed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = [] {
        platform::setTraceSink([](std::string_view) {});
        return true;
    }();
    (void)silenced;
    HubRun hub;
    readFrames(data, size, hub);

    // The same bytes as command lines; a line starting with '@' comes from
    // the second client.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const std::string& raw : fuzz::splitLines(text)) {
        std::string_view line = raw;
        int who = 0;
        if (!line.empty() && line[0] == '@') {
            who = 1;
            line.remove_prefix(1);
        }
        checkCommand(line);
        hub.command(who, line);
    }
    return 0;
}
