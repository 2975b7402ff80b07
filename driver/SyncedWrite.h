#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Writes all size bytes to the file fd and flushes them to disk. The driver's
// key and trust files must survive a crash whole: a key lost or cut short
// would look like an impostor to every contact. Returns false with errno set
// when a write or the flush failed.
inline bool writeAllSynced(int fd, const char* data, size_t size) {
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return ::fsync(fd) == 0;
}
