#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/EventLoop.h"

// platform::EventLoop on the Qt event loop of the GUI thread: the models'
// timers and watches run inside the main dialog's modal run. The timers keep
// their own schedule on the loop's Clock (the same rules as PollEventLoop: a
// timer that falls more than a period behind fires once and then keeps its
// period from now); one precise QTimer wakes the loop at the next due time,
// and keeps running while the next due time is one interval after the last.
// Watches are QSocketNotifiers. Deferred tasks run when the thread's event
// dispatcher is about to block, so they cost no wake-up of their own.
//
// GUI thread only.
class QtEventLoop final : public QObject, public platform::EventLoop {
    Q_OBJECT
public:
    explicit QtEventLoop(const platform::Clock& clock = platform::SteadyClock::instance(),
                         QObject* parent = nullptr);
    ~QtEventLoop() override;

    TimerId addTimer(int periodMs, std::function<void()> onTick) override;
    void removeTimer(TimerId id) override;
    WatchId addReadWatch(int fd, std::function<void()> onReady) override;
    void removeWatch(WatchId id) override;
    void defer(std::function<void()> task) override;
    const platform::Clock& clock() const override { return clockRef; }

    // Runs every due timer once, in order of due time; returns how many ran.
    // The wake-up timer calls it; tests with a ManualClock call it by hand.
    int runDueTimers();
    // Milliseconds until the next timer is due (0 if one is due), -1 if none.
    int64_t msUntilNextTimer() const;

private:
    struct Timer {
        TimerId id;
        int periodMs;
        int64_t dueMs;
        std::shared_ptr<std::function<void()>> onTick;
    };
    struct Watch {
        WatchId id;
        QSocketNotifier* notifier;  // owned; deleted later when removed
        std::shared_ptr<std::function<void()>> onReady;
    };

    // The earliest due time of all timers, -1 if none.
    int64_t nextDueMs() const;
    // The wake-up QTimer's timeout: follows where it fires next, then runs
    // the due timers.
    void onWakeTimer();
    void rearm();
    // Runs the deferred tasks, those they defer included; returns how many.
    int runDeferred();

    const platform::Clock& clockRef;
    QTimer wakeTimer;
    // When the running wake-up QTimer fires next, on the loop's clock in
    // whole milliseconds (Qt fires it within the millisecond after); -1 when
    // stopped or not known.
    int64_t wakeDueMs = -1;
    std::vector<Timer> timers;
    std::vector<Watch> watches;
    std::vector<std::function<void()>> deferred;
    bool hookedToDispatcher = false;
    int nextId = 1;
};
