#include "platform/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace platform {

namespace {
std::mutex gTraceLock;
TraceSink gSink;
constexpr size_t kTraceBufferBytes = 8192;  // a longer trace is cut here
}  // namespace

void trace(const char* format, ...) {
    char buffer[kTraceBufferBytes];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(gTraceLock);
    if (gSink) {
        gSink(buffer);
        return;
    }
    fputs(buffer, stdout);
    fflush(stdout);
}

void setTraceSink(TraceSink sink) {
    std::lock_guard<std::mutex> lock(gTraceLock);
    gSink = std::move(sink);
}

}  // namespace platform
