#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/EventLoop.h"

namespace platform {

// EventLoop on poll(2): used by the driver, the headless host and the tests.
// A timer that falls behind by more than a period fires once and then keeps
// its period from now, as window timers do; a timer that is only late keeps
// its original schedule so that its average rate does not drift.
class PollEventLoop final : public EventLoop {
public:
    explicit PollEventLoop(const Clock& clock = SteadyClock::instance());
    ~PollEventLoop() override;
    PollEventLoop(const PollEventLoop&) = delete;
    PollEventLoop& operator=(const PollEventLoop&) = delete;

    TimerId addTimer(int periodMs, std::function<void()> onTick) override;
    void removeTimer(TimerId id) override;
    WatchId addReadWatch(int fd, std::function<void()> onReady) override;
    void removeWatch(WatchId id) override;
    void defer(std::function<void()> task) override;
    const Clock& clock() const override { return clockRef; }

    // One turn: first runs the deferred tasks (then it does not wait), waits
    // at most maxWaitMs (0: not at all) for a watch or the next due timer,
    // then runs the ready watches and every due timer once, in order of
    // their due time. Returns the number of callbacks and tasks run.
    int runOnce(int maxWaitMs);

    // Runs turns until stop() is called.
    void run();

    // Makes run() return after the current turn. Safe from any thread and
    // from a signal handler.
    void stop();
    bool stopRequested() const { return stopFlag.load(); }

private:
    struct Timer {
        TimerId id;
        int periodMs;
        int64_t dueMs;
        std::shared_ptr<std::function<void()>> onTick;
    };
    struct Watch {
        WatchId id;
        int fd;
        std::shared_ptr<std::function<void()>> onReady;
    };

    void drainWakePipe();
    int runDeferred();

    const Clock& clockRef;
    std::vector<Timer> timers;
    std::vector<Watch> watches;
    std::vector<std::function<void()>> deferred;
    int nextId = 1;
    int wakePipe[2] = {-1, -1};
    std::atomic<bool> stopFlag{false};
};

}  // namespace platform
