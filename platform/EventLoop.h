#pragma once

#include <functional>
#include <vector>

#include "platform/Clock.h"

namespace platform {

// The GUI thread's message loop as the models see it: periodic timers and
// file-descriptor watches. Every callback runs on the loop's own thread, and
// every operation here may be called only from that thread. A callback may add
// or remove timers and watches, its own included.
class EventLoop {
public:
    using TimerId = int;
    using WatchId = int;

    virtual ~EventLoop() = default;

    // Starts a periodic timer; its first tick comes one period after the call.
    // Returns an id > 0 that stays unique for the life of the loop.
    virtual TimerId addTimer(int periodMs, std::function<void()> onTick) = 0;
    virtual void removeTimer(TimerId id) = 0;

    // Calls onReady whenever fd is readable, hung up or in error.
    virtual WatchId addReadWatch(int fd, std::function<void()> onReady) = 0;
    virtual void removeWatch(WatchId id) = 0;

    // Runs task once on the loop's thread after the callback now running has
    // returned, before the loop waits again (a task deferred by a deferred
    // task runs before that wait too). For work that must not run nested
    // inside its caller but should not cost a wake-up of its own.
    virtual void defer(std::function<void()> task) = 0;

    virtual const Clock& clock() const = 0;
};

// The process-wide GUI loop through which the models create their timers and
// watches, as Win32 code reaches its own thread's message queue. Set once at
// start-up (or by a test fixture) before any model is created.
void setGuiLoop(EventLoop* loop);
EventLoop& guiLoop();
bool hasGuiLoop();

// Runs a loop's deferred tasks until none is left, those they defer
// included; returns how many ran. Shared by every EventLoop implementation.
int runDeferredTasks(std::vector<std::function<void()>>& tasks);

}  // namespace platform
