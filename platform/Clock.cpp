#include "platform/Clock.h"

#include <time.h>

namespace platform {

int64_t SteadyClock::nowMs() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

SteadyClock& SteadyClock::instance() {
    static SteadyClock clock;
    return clock;
}

}  // namespace platform
