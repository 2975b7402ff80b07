#pragma once

#include <cstddef>
#include <cstdint>

class XR_SKYPESTREAM;

// What the FTP data-link rewriting needs from the stream whose control data
// it rewrites. Kept apart from the stream so that the rewriting runs on a bare
// buffer (tests, fuzzing) as well as inside the receive dispatch.
class FtpRewriteTarget {
public:
    virtual ~FtpRewriteTarget() = default;
    // Opens a data-link listener for tunnel port `port`, bound to bindAddress
    // (IPv4, network byte order); returns its local TCP port, or -1.
    virtual int openDataLinkServer(int port, uint32_t bindAddress) = 0;
    // The local address of this side's control connection (network byte
    // order), that is the address the local FTP program talks to; 0 unknown.
    virtual uint32_t controlLocalAddress() = 0;
    // For the event lines.
    virtual const char* peerUser() = 0;
    virtual const char* serverHost() = 0;
};

// Rewrites the data-link address of one FTP control-data packet arriving from
// the peer, in place. `packet` is a tunnel packet (40-byte header, payload of
// dataLength bytes); `capacity` is the number of bytes the packet may grow to
// (a rewritten packet never exceeds it; one that would is left unchanged).
//
// The packet's first line is tested, without regard to case, for
//   "227 ENTERING PASSIVE MODE (h1,h2,h3,h4,p1,p2)"  (passive-mode reply)
//   "PORT h1,h2,h3,h4,p1,p2"                         (active-mode command)
//   "229 ...(<d><d><d>port<d>)"                       (extended passive reply)
//   "EPRT <d>1<d>address<d>port<d>"                   (extended active command)
// For a well-formed line naming a port of 1..65535, a data-link listener is
// opened for that port on the control connection's local address, and the
// line is rewritten to name that address and the listener's port. Everything
// after the line's end stays as it was. A malformed line (fewer than six
// numbers, a number that is not decimal, a port outside 1..65535, a missing
// field) is left unchanged.
void rewriteFtpControl(FtpRewriteTarget& target, unsigned char* packet, size_t capacity);

// The receive dispatch's form: rewrites a packet in the stream's receive
// buffer, bounded by what one queue entry holds.
void rewriteFtpControl(XR_SKYPESTREAM& stream, unsigned char* packet);

// What one control line says about a data connection, as the FTP program on
// this side wrote it.
struct DataLinkAnnouncement {
    enum Form { kNone, kPassive, kPort, kExtendedPassive, kExtendedPort };
    Form form = kNone;
    int port = -1;
    // The address the line names (IPv4, network byte order); 0 when it
    // names none (229) or none that is valid.
    uint32_t address = 0;
    // A reply of the FTP server (227, 229), as opposed to a command of the
    // FTP client (PORT, EPRT).
    bool isReply() const { return form == kPassive || form == kExtendedPassive; }
};

// Reads a 227, PORT, 229 or EPRT line (case-insensitive, as rewriteFtpControl
// recognises them). Returns 1 when it is well formed and names a port of
// 1..65535; `found` then holds the form, the port and the address. 0 for any
// other line (found.form still tells a malformed data-link line apart).
int readDataLinkAnnouncement(const char* line, DataLinkAnnouncement& found);
