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

// Creates `directory` owner-only (0700) if it is missing, and checks that it
// is a directory of this user that no one else may write to. 1 when it is;
// 0 with the reason in `why` otherwise.
int ensurePrivateDirectory(const std::string& directory, std::string& why);

// 1 when the process at the other end of the connected Unix socket fd runs
// as this user or as root (SO_PEERCRED); 0 with the reason in `why`.
int isTrustedPeer(int fd, std::string& why);

// Connects to the Unix stream socket at path. Returns a non-blocking,
// close-on-exec descriptor, or -1 (errno says why: ENOENT, ECONNREFUSED,
// ENAMETOOLONG, EACCES when the driver is not this user's own or the /tmp
// fallback directory is not private - the reason is then written once to
// standard error). Never waits: a local connect completes at once.
int connectTo(const std::string& path);

// Writes all n bytes to the non-blocking fd, waiting at most timeoutMs of real
// time for room. Returns 1 when everything was written, 0 on error, hang-up
// or time-out (then part of the data may have gone: the stream is no longer
// in step and its owner must close it).
int writeAll(int fd, const char* data, size_t n, int timeoutMs);

}  // namespace driversocket

}  // namespace platform
