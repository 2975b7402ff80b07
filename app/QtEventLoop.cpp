#include "app/QtEventLoop.h"

#include <QAbstractEventDispatcher>
#include <algorithm>
#include <climits>

QtEventLoop::QtEventLoop(const platform::Clock& clock, QObject* parent)
    : QObject(parent), clockRef(clock) {
    wakeTimer.setSingleShot(true);
    wakeTimer.setTimerType(Qt::PreciseTimer);
    connect(&wakeTimer, &QTimer::timeout, this, [this] { runDueTimers(); });
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

int QtEventLoop::runDueTimers() {
    const int64_t fireTime = clockRef.nowMs();
    std::vector<std::pair<int64_t, TimerId>> due;
    for (const Timer& t : timers) {
        if (t.dueMs <= fireTime) {
            due.emplace_back(t.dueMs, t.id);
        }
    }
    std::sort(due.begin(), due.end());
    int ran = 0;
    for (const auto& entry : due) {
        auto it = std::find_if(timers.begin(), timers.end(),
                               [&](const Timer& t) { return t.id == entry.second; });
        if (it == timers.end()) {
            continue;  // removed by an earlier callback of this turn
        }
        it->dueMs += it->periodMs;
        if (it->dueMs <= fireTime) {
            it->dueMs = fireTime + it->periodMs;
        }
        auto callback = it->onTick;
        (*callback)();
        ++ran;
    }
    rearm();
    return ran;
}

int64_t QtEventLoop::msUntilNextTimer() const {
    if (timers.empty()) {
        return -1;
    }
    int64_t next = INT64_MAX;
    for (const Timer& t : timers) {
        next = std::min(next, t.dueMs);
    }
    return std::max<int64_t>(next - clockRef.nowMs(), 0);
}

void QtEventLoop::rearm() {
    const int64_t wait = msUntilNextTimer();
    if (wait < 0) {
        wakeTimer.stop();
        return;
    }
    wakeTimer.start(static_cast<int>(std::min<int64_t>(wait, INT_MAX)));
}
