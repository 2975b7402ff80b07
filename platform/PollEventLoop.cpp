#include "platform/PollEventLoop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace platform {

namespace {
EventLoop* gGuiLoop = nullptr;
}

void setGuiLoop(EventLoop* loop) { gGuiLoop = loop; }

int runDeferredTasks(std::vector<std::function<void()>>& tasks) {
    int ran = 0;
    while (!tasks.empty()) {
        std::vector<std::function<void()>> now;
        now.swap(tasks);
        for (auto& task : now) {
            task();
            ++ran;
        }
    }
    return ran;
}

EventLoop& guiLoop() { return *gGuiLoop; }

bool hasGuiLoop() { return gGuiLoop != nullptr; }

PollEventLoop::PollEventLoop(const Clock& clock) : clockRef(clock) {
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe[0] = wakePipe[1] = -1;
    }
}

PollEventLoop::~PollEventLoop() {
    if (wakePipe[0] >= 0) {
        ::close(wakePipe[0]);
        ::close(wakePipe[1]);
    }
}

EventLoop::TimerId PollEventLoop::addTimer(int periodMs, std::function<void()> onTick) {
    const int period = std::max(periodMs, 1);
    const TimerId id = nextId++;
    timers.push_back(Timer{id, period, clockRef.nowMs() + period,
                           std::make_shared<std::function<void()>>(std::move(onTick))});
    return id;
}

void PollEventLoop::removeTimer(TimerId id) {
    std::erase_if(timers, [id](const Timer& t) { return t.id == id; });
}

EventLoop::WatchId PollEventLoop::addReadWatch(int fd, std::function<void()> onReady) {
    const WatchId id = nextId++;
    watches.push_back(Watch{id, fd, std::make_shared<std::function<void()>>(std::move(onReady))});
    return id;
}

void PollEventLoop::removeWatch(WatchId id) {
    std::erase_if(watches, [id](const Watch& w) { return w.id == id; });
}

void PollEventLoop::defer(std::function<void()> task) {
    deferred.push_back(std::move(task));
}

int PollEventLoop::runDeferred() {
    return runDeferredTasks(deferred);
}

void PollEventLoop::drainWakePipe() {
    char buf[64];
    while (wakePipe[0] >= 0 && ::read(wakePipe[0], buf, sizeof buf) > 0) {
    }
}

int PollEventLoop::runOnce(int maxWaitMs) {
    // Work deferred by the last turn (or by code outside the loop) is this
    // turn's work: the poll below then only looks, it does not wait.
    int ran = runDeferred();
    int64_t waitMs = ran > 0 ? 0 : std::max(maxWaitMs, 0);
    const int64_t now = clockRef.nowMs();
    for (const Timer& t : timers) {
        waitMs = std::min(waitMs, std::max<int64_t>(t.dueMs - now, 0));
    }

    std::vector<pollfd> fds;
    std::vector<WatchId> ids;
    fds.reserve(watches.size() + 1);
    fds.push_back(pollfd{wakePipe[0], POLLIN, 0});
    for (const Watch& w : watches) {
        fds.push_back(pollfd{w.fd, POLLIN, 0});
        ids.push_back(w.id);
    }
    int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<int64_t>(waitMs, INT_MAX)));
    if (ready < 0 && errno != EINTR) {
        ready = 0;
    }

    if (ready > 0) {
        if (fds[0].revents != 0) {
            drainWakePipe();
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            // A callback may have removed this watch (or others) meanwhile.
            auto it = std::find_if(watches.begin(), watches.end(),
                                   [&](const Watch& w) { return w.id == ids[i - 1]; });
            if (it == watches.end()) {
                continue;
            }
            auto callback = it->onReady;
            (*callback)();
            ++ran;
        }
    }

    // Due timers in order of their due time; each fires at most once a turn.
    const int64_t fireTime = clockRef.nowMs();
    std::vector<std::pair<int64_t, TimerId>> due;
    for (const Timer& t : timers) {
        if (t.dueMs <= fireTime) {
            due.emplace_back(t.dueMs, t.id);
        }
    }
    std::sort(due.begin(), due.end());
    for (const auto& entry : due) {
        auto it = std::find_if(timers.begin(), timers.end(),
                               [&](const Timer& t) { return t.id == entry.second; });
        if (it == timers.end()) {
            continue;
        }
        it->dueMs += it->periodMs;
        if (it->dueMs <= fireTime) {
            it->dueMs = fireTime + it->periodMs;
        }
        auto callback = it->onTick;
        (*callback)();
        ++ran;
    }
    return ran;
}

void PollEventLoop::run() {
    while (!stopFlag.load()) {
        runOnce(1000);
    }
}

void PollEventLoop::stop() {
    stopFlag.store(true);
    if (wakePipe[1] >= 0) {
        const char c = 1;
        [[maybe_unused]] ssize_t n = ::write(wakePipe[1], &c, 1);
    }
}

}  // namespace platform
