#include "platform/CounterLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace platform {

namespace {

std::mutex gCounterLock;

const std::string& counterPath() {
    static const std::string path = [] {
        const char* value = std::getenv(CounterLog::kEnvironmentVariable);
        return std::string(value != nullptr ? value : "");
    }();
    return path;
}

}  // namespace

bool CounterLog::enabled() {
    return !counterPath().empty();
}

void CounterLog::write(const char* format, ...) {
    if (!enabled()) {
        return;
    }
    char line[kLineBytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(gCounterLock);
    FILE* file = std::fopen(counterPath().c_str(), "a");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file, "%s\n", line);
    std::fclose(file);
}

}  // namespace platform
