#include "platform/Trace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/ProcessFlags.h"

namespace platform {

namespace {
std::mutex gTraceLock;
TraceSink gSink;
std::atomic<bool> gSinkSet{false};  // whether gSink holds a function
constexpr size_t kTraceBufferBytes = 8192;  // a longer trace is cut here

// Outside debug mode start-up points standard output at /dev/null; a trace
// is then formatted and written for nobody. Whether standard output is the
// null device is looked up once, at the first trace outside debug mode
// (start-up redirects before any model traces).
enum class Discard { kUnknown, kYes, kNo };
std::atomic<Discard> gDiscard{Discard::kUnknown};

bool outputIsNullDevice() {
    struct stat out {};
    struct stat null {};
    return ::fstat(STDOUT_FILENO, &out) == 0 && ::stat("/dev/null", &null) == 0 &&
           S_ISCHR(out.st_mode) && out.st_rdev == null.st_rdev;
}

bool discarded() {
    if (isDebugMode()) {
        return false;
    }
    Discard known = gDiscard.load(std::memory_order_relaxed);
    if (known == Discard::kUnknown) {
        known = outputIsNullDevice() ? Discard::kYes : Discard::kNo;
        gDiscard.store(known, std::memory_order_relaxed);
    }
    return known == Discard::kYes;
}
}  // namespace

void trace(const char* format, ...) {
    if (!gSinkSet.load(std::memory_order_relaxed) && discarded()) {
        return;
    }
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
    gSinkSet.store(static_cast<bool>(gSink));
}

}  // namespace platform
