#include "tunnel/rewriteFtpControl.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/Trace.h"
#include "support/leadingNumber.h"
#include "support/nextToken.h"
#include "tcp/TunnelPacket.h"
#include "tunnel/eventLine.h"

namespace {

constexpr size_t kUpperCopyChars = 10368;  // the case-insensitive tests look this far
constexpr size_t kMaxLineChars = kMaxQueuedPacketBytes;
constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;
constexpr int kAddressNumbers = 4;
constexpr int kAddressAndPortNumbers = 6;
constexpr size_t kMaxNumberDigits = 6;  // more digits than this can only be out of range

// One data-link announcement found in a control line: the port it names, and
// how to write the line again for this side's address and listener port.
struct Announcement {
    int port = 0;
    // Formats the replacement line (with its own line end) into out; returns
    // its length, or 0 when it does not fit.
    size_t (*format)(const Announcement& found, const char* line, uint32_t address, int newPort,
                     char* out, size_t outSize) = nullptr;
    // Extended forms keep the text around the port: where the replaced field
    // starts and ends in the line; EPRT also writes its delimiter again.
    size_t fieldStart = 0;
    size_t fieldEnd = 0;
    char delimiter = 0;
};

// How one form is recognised and read. `line` is the NUL-terminated first
// line of the payload (its line end included); upper is its upper-case copy.
struct RewriteRule {
    const char* upperPrefix;
    bool (*parse)(const char* line, Announcement& found);
};

bool isDecimal(const char* token) {
    if (token[0] == '\0') {
        return false;
    }
    for (const char* c = token; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
    }
    return true;
}

// The value of a decimal token, or -1 when it has too many digits to matter.
int decimalValue(const char* token) {
    if (std::strlen(token) > kMaxNumberDigits) {
        return -1;
    }
    return static_cast<int>(leadingNumber(token));
}

// Reads "h1,h2,h3,h4,p1,p2" from `from`; the sixth number ends at
// lastDelimiter (0: at any blank or punctuation). Returns the port p1*256+p2,
// or -1 when there are fewer than six decimal numbers.
int readSixNumbers(const char* from, char lastDelimiter, int& p1, int& p2,
                   uint32_t* address = nullptr) {
    char tokens[kAddressAndPortNumbers][kTokenSize];
    const char* position = from;
    for (int i = 0; i < kAddressAndPortNumbers - 1; ++i) {
        position = nextToken(position, tokens[i], kTokenSize, ',');
        if (position == nullptr) {
            return -1;  // fewer than six numbers
        }
    }
    nextToken(position, tokens[kAddressAndPortNumbers - 1], kTokenSize, lastDelimiter);
    for (const auto& token : tokens) {
        if (!isDecimal(token)) {
            return -1;
        }
    }
    if (address != nullptr) {
        // 0 when a number is no address byte: such an address matches nothing.
        unsigned char bytes[kAddressNumbers];
        bool valid = true;
        for (int i = 0; i < kAddressNumbers; ++i) {
            const int value = decimalValue(tokens[i]);
            valid = valid && value >= 0 && value <= 255;
            bytes[i] = static_cast<unsigned char>(value);
        }
        uint32_t inOrder = 0;
        std::memcpy(&inOrder, bytes, sizeof inOrder);
        *address = valid ? inOrder : 0;
    }
    p1 = decimalValue(tokens[4]);
    p2 = decimalValue(tokens[5]);
    if (p1 < 0 || p2 < 0) {
        return kMaxPort + 1;
    }
    return p1 * 256 + p2;
}

bool validPort(long port) {
    return port >= kMinPort && port <= kMaxPort;
}

size_t formatSix(const char* prefix, const char* closing, uint32_t address, int newPort, char* out,
                 size_t outSize) {
    const auto* a = reinterpret_cast<const unsigned char*>(&address);
    const int n = std::snprintf(out, outSize, "%s%d,%d,%d,%d,%d,%d%s\r\n", prefix, a[0], a[1], a[2],
                                a[3], newPort / 256, newPort % 256, closing);
    return n > 0 && static_cast<size_t>(n) < outSize ? static_cast<size_t>(n) : 0;
}

// --- "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" ---------------------------

constexpr char kPassivePrefix[] = "227 ENTERING PASSIVE MODE (";

size_t formatPassive(const Announcement&, const char*, uint32_t address, int newPort, char* out,
                     size_t outSize) {
    return formatSix(kPassivePrefix, ")", address, newPort, out, outSize);
}

bool parsePassive(const char* line, Announcement& found) {
    int p1 = 0;
    int p2 = 0;
    const int port = readSixNumbers(line + std::strlen(kPassivePrefix), ')', p1, p2);
    if (port < 0) {
        platform::trace("A2AMODEL:find Entering Passive: not six decimal numbers, unchanged\n");
        return false;
    }
    platform::trace("A2AMODEL iport1=%d\n", p1);
    platform::trace("A2AMODEL iport2=%d\n", p2);
    platform::trace("A2AMODEL:find Entering Passive port=%d\n", port);
    found.port = port;
    found.format = formatPassive;
    return validPort(port);
}

// --- "PORT h1,h2,h3,h4,p1,p2" ----------------------------------------------------

constexpr char kPortPrefix[] = "PORT ";

size_t formatPort(const Announcement&, const char*, uint32_t address, int newPort, char* out,
                  size_t outSize) {
    return formatSix(kPortPrefix, "", address, newPort, out, outSize);
}

bool parsePort(const char* line, Announcement& found) {
    int p1 = 0;
    int p2 = 0;
    const int port = readSixNumbers(line + std::strlen(kPortPrefix), 0, p1, p2);
    if (port < 0) {
        platform::trace("A2AMODEL:find Port Command: not six decimal numbers, unchanged\n");
        return false;
    }
    platform::trace("A2AMODEL:find Port Command port=%d\n", port);
    found.port = port;
    found.format = formatPort;
    return validPort(port);
}

// --- extended forms (RFC 2428) ---------------------------------------------------

// A delimiter is any printable ASCII character but a digit.
bool isExtendedDelimiter(char c) {
    return c >= 33 && c <= 126 && !(c >= '0' && c <= '9');
}

// Reads a decimal port at line[at], ending at delimiter; stores its end.
long readPortField(const char* line, size_t at, char delimiter, size_t& end) {
    size_t i = at;
    while (line[i] >= '0' && line[i] <= '9') {
        if (i - at >= kMaxNumberDigits) {
            return -1;
        }
        ++i;
    }
    if (i == at || line[i] != delimiter) {
        return -1;
    }
    end = i;
    return static_cast<long>(leadingNumber(std::string_view(line + at, i - at)));
}

constexpr char kExtendedPassivePrefix[] = "229 ";

// "229 <text> (<d><d><d><port><d>)": the port field is replaced, the rest kept.
size_t formatExtendedPassive(const Announcement& found, const char* line, uint32_t, int newPort,
                             char* out, size_t outSize) {
    const int n = std::snprintf(out, outSize, "%.*s%d%s", static_cast<int>(found.fieldStart), line,
                                newPort, line + found.fieldEnd);
    return n > 0 && static_cast<size_t>(n) < outSize ? static_cast<size_t>(n) : 0;
}

bool parseExtendedPassive(const char* line, Announcement& found) {
    const char* open = std::strchr(line, '(');
    if (open == nullptr) {
        platform::trace("A2AMODEL:find Extended Passive: no address field, unchanged\n");
        return false;
    }
    const size_t at = static_cast<size_t>(open - line);
    const char d = line[at + 1];
    size_t end = 0;
    const bool shaped = isExtendedDelimiter(d) && line[at + 2] == d && line[at + 3] == d;
    const long port = shaped ? readPortField(line, at + 4, d, end) : -1;
    if (port < 0 || line[end + 1] != ')') {
        platform::trace("A2AMODEL:find Extended Passive: malformed address field, unchanged\n");
        return false;
    }
    platform::trace("A2AMODEL:find Extended Passive port=%ld\n", port);
    found.port = static_cast<int>(port);
    found.format = formatExtendedPassive;
    found.fieldStart = at + 4;
    found.fieldEnd = end;
    return validPort(port);
}

constexpr char kExtendedPortPrefix[] = "EPRT ";

// "EPRT <d>1<d><address><d><port><d>": address and port are replaced, the
// rest of the line (normally its CRLF) kept.
size_t formatExtendedPort(const Announcement& found, const char* line, uint32_t address,
                          int newPort, char* out, size_t outSize) {
    const auto* a = reinterpret_cast<const unsigned char*>(&address);
    const char d = found.delimiter;
    const int n =
        std::snprintf(out, outSize, "%s%c1%c%d.%d.%d.%d%c%d%c%s", kExtendedPortPrefix, d, d, a[0],
                      a[1], a[2], a[3], d, newPort, d, line + found.fieldEnd + 1);
    return n > 0 && static_cast<size_t>(n) < outSize ? static_cast<size_t>(n) : 0;
}

bool parseExtendedPort(const char* line, Announcement& found) {
    size_t at = std::strlen(kExtendedPortPrefix);
    while (line[at] == ' ') {
        ++at;
    }
    const char d = line[at];
    if (!isExtendedDelimiter(d) || line[at + 2] != d) {
        platform::trace("A2AMODEL:find EPRT Command: malformed, unchanged\n");
        return false;
    }
    if (line[at + 1] != '1') {
        platform::trace("A2AMODEL:find EPRT Command: not IPv4, unchanged\n");
        return false;
    }
    const char* addressEnd = std::strchr(line + at + 3, d);
    size_t end = 0;
    const long port = addressEnd == nullptr || addressEnd == line + at + 3
                          ? -1
                          : readPortField(line, static_cast<size_t>(addressEnd - line) + 1, d, end);
    if (port < 0) {
        platform::trace("A2AMODEL:find EPRT Command: malformed, unchanged\n");
        return false;
    }
    platform::trace("A2AMODEL:find EPRT Command port=%ld\n", port);
    found.port = static_cast<int>(port);
    found.format = formatExtendedPort;
    found.fieldEnd = end;
    found.delimiter = d;
    return validPort(port);
}

// Tested in this order on the upper-case copy of the payload's start.
constexpr RewriteRule kRules[] = {
    {kPassivePrefix, parsePassive},
    {kPortPrefix, parsePort},
    {kExtendedPassivePrefix, parseExtendedPassive},
    {kExtendedPortPrefix, parseExtendedPort},
};

// The end of the payload's first line: after its LF, or the end of the text
// when it has none.
size_t firstLineLength(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            return i + 1;
        }
    }
    return length;
}

}  // namespace

void rewriteFtpControl(FtpRewriteTarget& target, unsigned char* packet, size_t capacity) {
    if (capacity < kPacketHeaderBytes) {
        return;
    }
    const TunnelPacketHeader header = loadPacketHeader(packet);
    const size_t dataLength = header.dataLength;
    if (header.headerLength != kPacketHeaderBytes || kPacketHeaderBytes + dataLength > capacity) {
        return;
    }
    char* payload = reinterpret_cast<char*>(packet + kPacketHeaderBytes);
    const size_t textLength = strnlen(payload, dataLength);

    // One upper-case copy, taken before any change: the tests ignore case,
    // the numbers are read from the payload itself.
    thread_local char upper[kUpperCopyChars + 1];
    const size_t upperLength = textLength < kUpperCopyChars ? textLength : kUpperCopyChars;
    for (size_t i = 0; i < upperLength; ++i) {
        const char c = payload[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    upper[upperLength] = '\0';

    const RewriteRule* rule = nullptr;
    for (const auto& candidate : kRules) {
        if (std::strncmp(upper, candidate.upperPrefix, std::strlen(candidate.upperPrefix)) == 0) {
            rule = &candidate;
            break;
        }
    }
    if (rule == nullptr) {
        return;
    }

    thread_local char line[kMaxLineChars + 1];
    const size_t lineLength = firstLineLength(payload, textLength);
    if (lineLength == 0 || payload[lineLength - 1] != '\n') {
        // The rest of the line comes in a later packet; its numbers may be
        // cut, so it is not rewritten.
        platform::trace("A2AMODEL: data-link line without its line end, unchanged\n");
        return;
    }
    std::memcpy(line, payload, lineLength);
    line[lineLength] = '\0';

    Announcement found;
    if (!rule->parse(line, found)) {
        return;  // malformed or out of range: the text goes on unchanged
    }

    const uint32_t address = target.controlLocalAddress();
    if (address == 0) {
        platform::trace("A2AMODEL: no local address of the control connection, unchanged\n");
        return;
    }
    const int newPort = target.openDataLinkServer(found.port, address);
    if (newPort == -1) {
        writeEventLine(kEventLevel, "%sとのFTP接続:%sとのd-port=%d 作成失敗.", target.peerUser(),
                       target.serverHost(), found.port);
        return;
    }
    if (newPort == found.port) {
        return;
    }

    thread_local char rewritten[kMaxLineChars + 1];
    const size_t newLength =
        found.format(found, line, address, newPort, rewritten, sizeof rewritten);
    const size_t restLength = dataLength - lineLength;
    if (newLength == 0 || kPacketHeaderBytes + newLength + restLength > capacity ||
        newLength + restLength > 0xFFFF) {
        platform::trace("A2AMODEL: rewritten text does not fit the packet, unchanged\n");
        return;
    }
    // Keep whatever followed the line (a second reply or command) after it.
    std::memmove(payload + newLength, payload + lineLength, restLength);
    std::memcpy(payload, rewritten, newLength);
    const size_t total = newLength + restLength;
    if (total < dataLength) {
        std::memset(payload + total, 0, dataLength - total);
    }
    storePacketU16(packet, kOffsetDataLength, static_cast<uint16_t>(total));
    if (rule->parse == parsePassive) {
        platform::trace("A2AMODEL make string:%s", rewritten);  // fixed text
    } else {
        platform::trace("A2AMODEL: make string:%s", rewritten);  // fixed text
    }
    writeEventLine(kEventLevel, "%sとのFTP接続:%sとのd-port=%d/%d 作成", target.peerUser(),
                   target.serverHost(), newPort, found.port);
}

int readDataLinkAnnouncement(const char* line, DataLinkAnnouncement& found) {
    found = DataLinkAnnouncement{};
    char upper[sizeof kPassivePrefix] = {};
    for (size_t i = 0; i + 1 < sizeof upper && line[i] != '\0'; ++i) {
        const char c = line[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    const auto startsWith = [&](const char* prefix) {
        return std::strncmp(upper, prefix, std::strlen(prefix)) == 0;
    };
    Announcement parsed;
    int p1 = 0;
    int p2 = 0;
    if (startsWith(kPassivePrefix)) {
        const int port =
            readSixNumbers(line + std::strlen(kPassivePrefix), ')', p1, p2, &found.address);
        found.form = DataLinkAnnouncement::kPassive;
        found.port = port;
    } else if (startsWith(kPortPrefix)) {
        const int port = readSixNumbers(line + std::strlen(kPortPrefix), 0, p1, p2, &found.address);
        found.form = DataLinkAnnouncement::kPort;
        found.port = port;
    } else if (startsWith(kExtendedPassivePrefix)) {
        found.form = DataLinkAnnouncement::kExtendedPassive;
        found.port = parseExtendedPassive(line, parsed) ? parsed.port : -1;
    } else if (startsWith(kExtendedPortPrefix)) {
        found.form = DataLinkAnnouncement::kExtendedPort;
        found.port = parseExtendedPort(line, parsed) ? parsed.port : -1;
        if (found.port > 0) {
            // The address lies between the second and third delimiter.
            const char* first = std::strchr(line, parsed.delimiter);
            const char* start = first != nullptr ? std::strchr(first + 1, parsed.delimiter) : nullptr;
            const char* end = start != nullptr ? std::strchr(start + 1, parsed.delimiter) : nullptr;
            char dotted[INET_ADDRSTRLEN] = {};
            in_addr address{};
            if (end != nullptr && static_cast<size_t>(end - start - 1) < sizeof dotted) {
                std::memcpy(dotted, start + 1, static_cast<size_t>(end - start - 1));
                if (::inet_pton(AF_INET, dotted, &address) == 1) {
                    found.address = address.s_addr;
                }
            }
        }
    } else {
        return 0;
    }
    return validPort(found.port) ? 1 : 0;
}
