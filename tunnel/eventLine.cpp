#include "tunnel/eventLine.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/XR_EVENTLOG.h"

namespace {
EventLineObserver gObserver;

// A cut line must not end inside a UTF-8 sequence: drop a trailing partial one.
void cutToCharacter(char* line) {
    size_t length = std::strlen(line);
    size_t start = length;
    while (start > 0 && (static_cast<unsigned char>(line[start - 1]) & 0xC0) == 0x80) {
        --start;
    }
    if (start == 0) {
        return;
    }
    const auto lead = static_cast<unsigned char>(line[start - 1]);
    if (lead < 0xC0) {
        return;  // ASCII last: nothing open
    }
    const size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (length - (start - 1) < needed) {
        line[start - 1] = '\0';
    }
}
}  // namespace

void writeEventLine(int level, const char* format, ...) {
    char line[XR_EVENTLOG::kMaxLineChars + 1];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    cutToCharacter(line);
    if (gObserver) {
        gObserver(level, line);
    }
    XR_EVENTLOG::getInstance()->write(level, line);
}

void setEventLineObserver(EventLineObserver observer) {
    gObserver = std::move(observer);
}
