#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

// Monotonic milliseconds. Every timer of the system reads time through this
// interface so that tests can move time by hand instead of sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    virtual int64_t nowMs() const = 0;
};

// The process's real monotonic clock (CLOCK_MONOTONIC).
class SteadyClock final : public Clock {
public:
    int64_t nowMs() const override;
    static SteadyClock& instance();
};

// A clock that moves only when a test says so. Safe to read from any thread.
class ManualClock final : public Clock {
public:
    explicit ManualClock(int64_t startMs = 0) : now(startMs) {}
    int64_t nowMs() const override { return now.load(); }
    void advance(int64_t ms) { now.fetch_add(ms); }
    void set(int64_t ms) { now.store(ms); }

private:
    std::atomic<int64_t> now;
};

}  // namespace platform
