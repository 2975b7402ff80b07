#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The client end of the driver transport: where the driver's socket is and
// how to reach it. Used by the gateway's link and by quillon-driver --console.
namespace driversocket {

// The environment variable that names the driver's socket.
constexpr const char* kPathVariable = "QUILLON_DRIVER";
// The longest path a Unix socket address holds (sun_path without its NUL).
constexpr size_t kMaxPathBytes = 107;

// $QUILLON_DRIVER when set and not empty; else
// $XDG_RUNTIME_DIR/quillon/driver.sock; else /tmp/quillon-<uid>/driver.sock.
std::string defaultPath();

// The per-user directory of the default socket (without the file name).
std::string defaultDirectory();

// Connects to the Unix stream socket at path. Returns a non-blocking,
// close-on-exec descriptor, or -1 (errno says why: ENOENT, ECONNREFUSED,
// ENAMETOOLONG, ...). Never waits: a local connect completes at once.
int connectTo(const std::string& path);

// Writes all n bytes to the non-blocking fd, waiting at most timeoutMs of real
// time for room. Returns 1 when everything was written, 0 on error, hang-up
// or time-out (then part of the data may have gone: the stream is no longer
// in step and its owner must close it).
int writeAll(int fd, const char* data, size_t n, int timeoutMs);

}  // namespace driversocket

}  // namespace platform
