#include "tunnel/FtpLineAssembler.h"

#include <cstring>

int FtpLineAssembler::feed(const char* data, size_t length, const LineHandler& onLine) {
    if (failed()) {
        return 0;
    }
    int result = 1;
    size_t at = 0;
    while (at < length) {
        const void* found = std::memchr(data + at, '\n', length - at);
        const size_t end = found != nullptr
                               ? static_cast<size_t>(static_cast<const char*>(found) - data) + 1
                               : length;
        const size_t piece = end - at;
        if (overlong) {
            // Skipping the rest of an over-long line up to its end.
            if (found != nullptr) {
                overlong = false;
            }
            at = end;
            continue;
        }
        if (held.size() + piece > kMaxLineBytes) {
            held.clear();
            overlong = true;
            result = 0;
            if (!skipOverlong) {
                return 0;
            }
            if (found != nullptr) {
                overlong = false;  // that line ended within these bytes
            }
            at = end;
            continue;
        }
        if (found == nullptr) {
            held.append(data + at, piece);
            break;
        }
        if (held.empty()) {
            onLine(std::string_view(data + at, piece));
        } else {
            held.append(data + at, piece);
            const std::string line = std::move(held);
            held.clear();
            onLine(line);
        }
        at = end;
    }
    return result;
}

void FtpLineAssembler::reset() {
    held.clear();
    overlong = false;
}
