#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Cuts an FTP control byte stream into lines. TCP (and the tunnel's packets)
// may split a line anywhere or carry several lines at once; a line is only
// judged once it is whole, so the part before its line end is held here until
// the rest arrives. A line ends at LF (its CR, if any, stays part of it).
//
// The held part is bounded: a line longer than kMaxLineBytes is never
// assembled. feed then returns 0; what happens next is the caller's choice
// (the receive side ends the connection; the sending side's scanner skips to
// the next line end, see skipOverlongLines).
//
// One owner thread (the GUI thread, for both of the stream's assemblers).
class FtpLineAssembler {
public:
    // Longer than any command or reply line an FTP program sends (their own
    // limits are about 4 KB) with room for long path names.
    static constexpr size_t kMaxLineBytes = 8192;

    using LineHandler = std::function<void(std::string_view line)>;

    // When set, an over-long line is dropped up to its line end and
    // assembling goes on after it; feed still reports it once with 0.
    explicit FtpLineAssembler(bool skipOverlongLines = false) : skipOverlong(skipOverlongLines) {}

    // Hands every line completed by these bytes, line end included, to
    // onLine, in order. Returns 1, or 0 when a line grew over kMaxLineBytes
    // (then, unless skipping, the bytes after it are not looked at and the
    // assembler stays failed until reset).
    int feed(const char* data, size_t length, const LineHandler& onLine);
    // Forgets the held part (a new connection starts).
    void reset();
    size_t heldBytes() const { return held.size(); }
    bool failed() const { return overlong && !skipOverlong; }

private:
    std::string held;  // at most kMaxLineBytes bytes, never a line end
    bool overlong = false;
    bool skipOverlong = false;
};
