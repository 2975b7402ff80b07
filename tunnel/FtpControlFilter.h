#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tunnel/FtpLineAssembler.h"
#include "tunnel/rewriteFtpControl.h"

// The receive side's check of FTP control text from the peer, line by line.
// The peer is not trusted: a data-link address it names must never reach the
// local FTP program unchanged, or that program would connect (or be
// connected) wherever the peer likes on this machine (an FTP bounce). So
//  - bytes are assembled into whole lines (FtpLineAssembler), a partial line
//    is held until its line end arrives in a later packet;
//  - every line is looked at, not just the first of a packet, and whatever
//    bytes precede its text (Telnet commands) are passed over for the test;
//  - a data-link line - a command PORT, EPRT or LPRT, a reply 227, 228 or
//    229 - is rewritten to name this side's data-link listener
//    (rewriteFtpControl), or, when that cannot be done, replaced: a command
//    by the bare command word (the FTP server answers it with a syntax
//    error), a reply by "425 Can't open data connection." A 227 reply in
//    another wording is read for its six numbers the way FTP clients read it;
//  - a multi-line 227/228/229 reply is reduced to its last line: the lines
//    before it could carry an address a client might pick up.
// Every other line passes byte for byte.
//
// GUI thread only (the receive dispatch).
class FtpControlFilter {
public:
    static constexpr const char* kRefusedReply = "425 Can't open data connection.\r\n";

    // Filters `length` bytes of control data from the peer; what may go on to
    // the local FTP program is appended to `out` (a partial line stays held).
    // Returns 1, or 0 when a line grew over FtpLineAssembler::kMaxLineBytes:
    // the connection cannot go on in step and must be ended (reset before
    // the next one).
    int filter(FtpRewriteTarget& target, const char* data, size_t length, std::string& out);
    // A new control connection starts (or the old one ended).
    void reset();
    size_t heldBytes() const { return lines.heldBytes(); }

private:
    void onLine(FtpRewriteTarget& target, std::string_view line, std::string& out);
    // Rewrites one data-link line through rewriteFtpControl; true when a
    // data-link listener was opened for it (the text in `rewritten` then
    // names it).
    static bool rewriteLine(FtpRewriteTarget& target, std::string_view line,
                            std::string& rewritten);

    FtpLineAssembler lines;
    int openDataReply = 0;  // the code of a multi-line data-link reply being dropped, or 0
};
