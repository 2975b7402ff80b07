#include "tunnel/FtpControlFilter.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Trace.h"
#include "tcp/TunnelPacket.h"
#include "tunnel/eventLine.h"

namespace {

constexpr int kPassiveReply = 227;
constexpr int kLongPassiveReply = 228;
constexpr int kExtendedPassiveReply = 229;
constexpr size_t kReplyCodeChars = 3;
constexpr size_t kMaxCommandWordChars = 4;
constexpr int kAddressAndPortNumbers = 6;
constexpr int kMaxNumberValue = 255;

// Records whether the rewriting opened a data-link listener.
class RecordingTarget final : public FtpRewriteTarget {
public:
    explicit RecordingTarget(FtpRewriteTarget& inner) : inner(inner) {}
    int openDataLinkServer(int port, uint32_t bindAddress) override {
        const int opened = inner.openDataLinkServer(port, bindAddress);
        listenerOpened = opened != -1;
        return opened;
    }
    uint32_t controlLocalAddress() override { return inner.controlLocalAddress(); }
    const char* peerUser() override { return inner.peerUser(); }
    const char* serverHost() override { return inner.serverHost(); }
    bool listenerOpened = false;

private:
    FtpRewriteTarget& inner;
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The reply code a line starts with ("227 ", "227-", "227" at its end), or 0.
int replyCode(std::string_view text) {
    if (text.size() < kReplyCodeChars || !isDigit(text[0]) || !isDigit(text[1]) ||
        !isDigit(text[2])) {
        return 0;
    }
    return (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
}

bool isFinalReplyLine(std::string_view text) {
    return replyCode(text) != 0 && (text.size() == kReplyCodeChars || text[3] != '-');
}

// The command word a line starts with, upper case, if it is one of those that
// name a data-link address; empty otherwise.
std::string dataLinkCommand(std::string_view text) {
    std::string word;
    for (char c : text) {
        if (!isLetter(c)) {
            break;
        }
        if (word.size() == kMaxCommandWordChars) {
            return {};  // a longer word is another command
        }
        word.push_back(static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c));
    }
    return word == "PORT" || word == "EPRT" || word == "LPRT" ? word : std::string();
}

// Reads "h1,h2,h3,h4,p1,p2" anywhere in a 227 reply, as FTP clients do, and
// writes the reply again in the usual wording. False when there is no such
// group of six numbers of 0..255.
bool normalisePassiveReply(std::string_view text, std::string& normal) {
    for (size_t start = kReplyCodeChars; start < text.size(); ++start) {
        if (!isDigit(text[start]) || isDigit(text[start - 1])) {
            continue;
        }
        int numbers[kAddressAndPortNumbers] = {};
        size_t at = start;
        int count = 0;
        bool ok = true;
        while (count < kAddressAndPortNumbers && ok) {
            int value = 0;
            size_t digits = 0;
            while (at < text.size() && isDigit(text[at]) && digits <= 3) {
                value = value * 10 + (text[at] - '0');
                ++at;
                ++digits;
            }
            ok = digits >= 1 && digits <= 3 && value <= kMaxNumberValue;
            numbers[count++] = value;
            if (ok && count < kAddressAndPortNumbers) {
                ok = at < text.size() && text[at] == ',';
                ++at;
            }
        }
        if (ok && count == kAddressAndPortNumbers) {
            char line[96];
            std::snprintf(line, sizeof line, "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d)\r\n",
                          numbers[0], numbers[1], numbers[2], numbers[3], numbers[4], numbers[5]);
            normal = line;
            return true;
        }
    }
    return false;
}

void noteRefused(FtpRewriteTarget& target, std::string_view text) {
    platform::trace("FTP control line from the peer refused: %.*s", static_cast<int>(text.size()),
                    text.data());
    writeEventLine(kEventLevel, "%sとのFTP接続:%sとのデータ接続の指定を拒否", target.peerUser(),
                   target.serverHost());
}

}  // namespace

int FtpControlFilter::filter(FtpRewriteTarget& target, const char* data, size_t length,
                             std::string& out) {
    return lines.feed(data, length, [&](std::string_view line) { onLine(target, line, out); });
}

void FtpControlFilter::reset() {
    lines.reset();
    openDataReply = 0;
}

bool FtpControlFilter::rewriteLine(FtpRewriteTarget& target, std::string_view line,
                                   std::string& rewritten) {
    thread_local std::vector<unsigned char> packet(kMaxQueuedPacketBytes);
    if (kPacketHeaderBytes + line.size() + 1 > packet.size()) {
        return false;
    }
    std::fill(packet.begin(), packet.end(), 0);
    initPacketHeader(packet.data());
    storePacketU16(packet.data(), kOffsetKind, kKindControlData);
    storePacketU16(packet.data(), kOffsetDataLength, static_cast<uint16_t>(line.size()));
    std::memcpy(packet.data() + kPacketHeaderBytes, line.data(), line.size());
    RecordingTarget recording(target);
    rewriteFtpControl(recording, packet.data(), packet.size());
    const size_t length = loadPacketU16(packet.data(), kOffsetDataLength);
    rewritten.assign(reinterpret_cast<const char*>(packet.data() + kPacketHeaderBytes), length);
    return recording.listenerOpened;
}

void FtpControlFilter::onLine(FtpRewriteTarget& target, std::string_view line, std::string& out) {
    // Telnet commands and other control bytes before the text are passed
    // over for the test (FTP servers skip them too); blanks are not, so
    // the feature lines of a FEAT reply (" EPRT") pass.
    size_t start = 0;
    while (start < line.size()) {
        const auto c = static_cast<unsigned char>(line[start]);
        if (c >= 0x20 && c < 0x7F) {
            break;
        }
        ++start;
    }
    const std::string_view text = line.substr(start);

    if (openDataReply != 0) {
        if (!isFinalReplyLine(text)) {
            platform::trace("FTP control: line inside a multi-line data-link reply dropped\n");
            return;
        }
        openDataReply = 0;
    }

    const int code = replyCode(text);
    if (code == kPassiveReply || code == kLongPassiveReply || code == kExtendedPassiveReply) {
        if (!isFinalReplyLine(text)) {
            openDataReply = code;  // only its last line goes on
            return;
        }
        std::string candidate(text);
        if (code == kPassiveReply && !normalisePassiveReply(text, candidate)) {
            candidate.clear();
        }
        std::string rewritten;
        if (code != kLongPassiveReply && !candidate.empty() &&
            rewriteLine(target, candidate, rewritten)) {
            out += rewritten;
            return;
        }
        noteRefused(target, text);
        out += kRefusedReply;
        return;
    }

    const std::string command = dataLinkCommand(text);
    if (!command.empty()) {
        std::string rewritten;
        if (command != "LPRT" && rewriteLine(target, text, rewritten)) {
            out += rewritten;
            return;
        }
        noteRefused(target, text);
        out += command + "\r\n";
        return;
    }
    out.append(line.data(), line.size());
}
