#include "app/QtEventLoop.h"

#include <QAbstractEventDispatcher>
#include <algorithm>
#include <climits>

QtEventLoop::QtEventLoop(const platform::Clock& clock, QObject* parent)
    : QObject(parent), clockRef(clock) {
    // Repeating, so that a loop whose next due time is one interval after
    // the last (the pump's steady tick) leaves the QTimer running instead of
    // unregistering and registering it with the dispatcher on every turn.
    wakeTimer.setSingleShot(false);
    wakeTimer.setTimerType(Qt::PreciseTimer);
    connect(&wakeTimer, &QTimer::timeout, this, [this] { onWakeTimer(); });
}

QtEventLoop::~QtEventLoop() {
    for (Watch& w : watches) {
        delete w.notifier;
    }
}

platform::EventLoop::TimerId QtEventLoop::addTimer(int periodMs, std::function<void()> onTick) {
    const int period = std::max(periodMs, 1);
    const TimerId id = nextId++;
    timers.push_back(Timer{id, period, clockRef.nowMs() + period,
                           std::make_shared<std::function<void()>>(std::move(onTick))});
    rearm();
    return id;
}

void QtEventLoop::removeTimer(TimerId id) {
    std::erase_if(timers, [id](const Timer& t) { return t.id == id; });
    rearm();
}

platform::EventLoop::WatchId QtEventLoop::addReadWatch(int fd, std::function<void()> onReady) {
    const WatchId id = nextId++;
    auto callback = std::make_shared<std::function<void()>>(std::move(onReady));
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    connect(notifier, &QSocketNotifier::activated, this, [callback] { (*callback)(); });
    watches.push_back(Watch{id, notifier, callback});
    return id;
}

void QtEventLoop::removeWatch(WatchId id) {
    auto it =
        std::find_if(watches.begin(), watches.end(), [id](const Watch& w) { return w.id == id; });
    if (it == watches.end()) {
        return;
    }
    // The watch may be removed from inside its own callback: the notifier is
    // disabled now and deleted once control is back in the event loop.
    it->notifier->setEnabled(false);
    it->notifier->deleteLater();
    watches.erase(it);
}

void QtEventLoop::defer(std::function<void()> task) {
    deferred.push_back(std::move(task));
    if (!hookedToDispatcher) {
        if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread())) {
            connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                    [this] { runDeferred(); });
            hookedToDispatcher = true;
        }
    }
    if (!hookedToDispatcher && deferred.size() == 1) {
        // No dispatcher yet (no application object): a zero timer runs them.
        QTimer::singleShot(0, this, [this] { runDeferred(); });
    }
}

int QtEventLoop::runDeferred() {
    return platform::runDeferredTasks(deferred);
}

void QtEventLoop::onWakeTimer() {
    // A precise repeating QTimer that fired on time is now set one interval
    // after the expiry it just had; one that fired an interval or more late
    // was set from the moment Qt looked, which is not known here.
    const int64_t now = clockRef.nowMs();
    const int interval = wakeTimer.interval();
    if (wakeDueMs >= 0 && interval > 0 && now < wakeDueMs + interval) {
        wakeDueMs += interval;
    } else {
        wakeDueMs = -1;
    }
    runDueTimers();
}

int QtEventLoop::runDueTimers() {
    const int64_t fireTime = clockRef.nowMs();
    int ran = 0;
    // Each turn runs the earliest timer still due (ties by id); a timer that
    // ran is due again after fireTime, and one added meanwhile is due after
    // it too, so every timer due at fireTime runs once, in order of due time,
    // without a list built per turn.
    for (;;) {
        auto next = timers.end();
        for (auto it = timers.begin(); it != timers.end(); ++it) {
            if (it->dueMs <= fireTime &&
                (next == timers.end() || it->dueMs < next->dueMs ||
                 (it->dueMs == next->dueMs && it->id < next->id))) {
                next = it;
            }
        }
        if (next == timers.end()) {
            break;
        }
        next->dueMs += next->periodMs;
        if (next->dueMs <= fireTime) {
            next->dueMs = fireTime + next->periodMs;
        }
        auto callback = next->onTick;  // the timer may be removed by its own tick
        (*callback)();
        ++ran;
    }
    rearm();
    return ran;
}

int64_t QtEventLoop::nextDueMs() const {
    if (timers.empty()) {
        return -1;
    }
    int64_t next = INT64_MAX;
    for (const Timer& t : timers) {
        next = std::min(next, t.dueMs);
    }
    return next;
}

int64_t QtEventLoop::msUntilNextTimer() const {
    const int64_t next = nextDueMs();
    if (next < 0) {
        return -1;
    }
    return std::max<int64_t>(next - clockRef.nowMs(), 0);
}

void QtEventLoop::rearm() {
    const int64_t next = nextDueMs();
    if (next < 0) {
        wakeTimer.stop();
        wakeDueMs = -1;
        return;
    }
    const int64_t now = clockRef.nowMs();
    const int64_t wait = std::max<int64_t>(next - now, 0);
    // Qt fires a running timer within the millisecond after wakeDueMs, as it
    // would one started now for `wait`: leave it be.
    if (wait > 0 && wakeTimer.isActive() && wakeDueMs == now + wait) {
        return;
    }
    wakeTimer.start(static_cast<int>(std::min<int64_t>(wait, INT_MAX)));
    wakeDueMs = wait > 0 ? now + wait : -1;
}
