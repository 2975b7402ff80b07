#pragma once

#include <cstddef>
#include <cstdint>

// The data connections this side has agreed to make for its peer. A data
// link is only ever connected for a port that this side's own FTP program
// announced in control text sent to the peer (a 227/229 reply of the FTP
// server, a PORT/EPRT command of the FTP client): the peer may then ask once,
// within kLifetimeMs, to be connected there. Anything else a peer asks for is
// refused, so a contact reaches the FTP server it was meant to and nothing
// else on this machine.
//
// Time is passed in (monotonic milliseconds). GUI thread only.
class DataLinkExpectations {
public:
    // FTP programs open the data connection right after the announcement;
    // a minute covers a slow peer and a slow messaging service.
    static constexpr int64_t kLifetimeMs = 60000;
    // An FTP session announces one data connection at a time; a few spare
    // entries cover announcements the FTP program made and then abandoned.
    static constexpr size_t kMaxExpectations = 8;

    // Remembers that the peer may ask for `port` until nowMs + kLifetimeMs.
    // `address` (IPv4, network byte order) is where to connect; 0 means the
    // configured server host. A full table forgets its oldest entry; a
    // second announcement of the same port replaces the first.
    void expect(int port, uint32_t address, int64_t nowMs);
    // 1 when `port` was announced and has not expired: the entry is used up
    // and its address stored in `address`. 0 otherwise (expired entries go).
    int take(int port, int64_t nowMs, uint32_t& address);
    // The control connection ended: nothing announced on it holds any more.
    void clear() { count = 0; }
    size_t size() const { return count; }

private:
    struct Entry {
        int port;
        uint32_t address;
        int64_t expiresMs;
    };
    void removeAt(size_t index);

    Entry entries[kMaxExpectations] = {};  // the first `count` are in use, oldest first
    size_t count = 0;
};
