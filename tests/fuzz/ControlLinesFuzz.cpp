// The receive side's line-by-line check of control text from the peer
// (FtpControlFilter over FtpLineAssembler), fed in pieces as packets bring it.
//
// Input: 1 byte: bit 0 set = the control connection's local address is
// known; 2 bytes: the port the data-link listener gets (0: opening it fails);
// then the text, cut into pieces at every 0x00 byte (the separators are not
// part of the text).
//
// Properties: what passes never holds more lines than went in; every line
// that passes is either a line of the input byte for byte, or a rewritten or
// refused data-link line; no line that passes names an address and port the
// peer chose unless a listener was opened for it; a line longer than the
// limit fails the filter and nothing after it passes. Held bytes stay bounded.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "tunnel/DataLinkExpectations.h"
#include "tunnel/FtpControlFilter.h"

namespace {

class CountingTarget : public FtpRewriteTarget {
public:
    int openDataLinkServer(int port, uint32_t) override {
        FUZZ_CHECK(port >= 1 && port <= 65535, "a listener only for a real port");
        ++opens;
        return listenerPort;
    }
    uint32_t controlLocalAddress() override { return address; }
    const char* peerUser() override { return "bob"; }
    const char* serverHost() override { return "localhost"; }
    uint32_t address = 0;
    int listenerPort = -1;
    int opens = 0;
};

size_t countLines(const std::string& text) {
    size_t n = 0;
    for (char c : text) {
        n += c == '\n' ? 1 : 0;
    }
    return n;
}

bool isDataLinkLine(const std::string& line) {
    size_t start = 0;
    while (start < line.size() && (static_cast<unsigned char>(line[start]) < 0x20 ||
                                   static_cast<unsigned char>(line[start]) >= 0x7F)) {
        ++start;
    }
    std::string head = line.substr(start, 5);
    for (char& c : head) {
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    if (head.rfind("227", 0) == 0 || head.rfind("228", 0) == 0 || head.rfind("229", 0) == 0) {
        return true;
    }
    const bool wordEnds = head.size() < 5 || head[4] < 'A' || head[4] > 'Z';
    const std::string word = head.substr(0, 4);
    return wordEnds && (word == "PORT" || word == "EPRT" || word == "LPRT");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ProcessSetUp::get();
    fuzz::ByteReader in(data, size);
    CountingTarget target;
    target.address = (in.u8() & 1) != 0 ? 0x0500000A : 0;
    const uint16_t listener = in.u16();
    target.listenerPort = listener == 0 ? -1 : listener;
    const std::string text = in.bytes(in.remaining());

    FtpControlFilter filter;
    std::string passed;
    std::string fed;
    bool failed = false;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\0', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string out;
        const int ok = filter.filter(target, text.data() + at, end - at, out);
        FUZZ_CHECK(filter.heldBytes() <= FtpLineAssembler::kMaxLineBytes, "held part is bounded");
        if (failed) {
            FUZZ_CHECK(ok == 0 && out.empty(), "nothing passes after an over-long line");
        }
        if (ok == 0) {
            failed = true;
        }
        fed.append(text, at, end - at);
        passed += out;
        at = end + 1;
    }
    FUZZ_CHECK(countLines(passed) <= countLines(fed), "no line is invented");
    FUZZ_CHECK(passed.empty() || passed.back() == '\n', "only whole lines pass");

    // Every passed line is an input line, or a data-link line this side wrote.
    size_t start = 0;
    while (start < passed.size()) {
        const size_t lf = passed.find('\n', start);
        const std::string line = passed.substr(start, lf - start + 1);
        start = lf + 1;
        const bool refused = line == FtpControlFilter::kRefusedReply || line == "PORT\r\n" ||
                             line == "EPRT\r\n" || line == "LPRT\r\n";
        if (refused) {
            continue;
        }
        if (!isDataLinkLine(line)) {
            FUZZ_CHECK(fed.find(line) != std::string::npos, "a plain line passes unchanged");
            continue;
        }
        FUZZ_CHECK(target.opens > 0,
                   "a data-link line passes only once a listener was opened for it");
    }

    // The expectation table under the same input: taking never succeeds for
    // a port not announced, nor twice.
    DataLinkExpectations table;
    fuzz::ByteReader again(data, size);
    int64_t now = 0;
    while (again.remaining() >= 3) {
        const uint8_t op = again.u8();
        const int port = again.u16();
        now += op & 0x3F;
        if ((op & 0xC0) == 0) {
            table.expect(port, 1, now);
        } else if ((op & 0xC0) == 0x40) {
            table.clear();
        } else {
            uint32_t address = 0;
            if (table.take(port, now, address) == 1) {
                FUZZ_CHECK(address == 1, "the announced address comes back");
                FUZZ_CHECK(table.take(port, now, address) == 0, "a port is taken once");
            }
        }
        FUZZ_CHECK(table.size() <= DataLinkExpectations::kMaxExpectations, "table is bounded");
    }
    return 0;
}
