#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <string>
#include <vector>

#include "app/QtEventLoop.h"

using platform::ManualClock;

namespace {

class QtEventLoopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "app-loop-tests";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr) {
            new QCoreApplication(argc, argv);
        }
    }
    void SetUp() override { ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
    void TearDown() override {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void processEvents() {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    ManualClock clock;
    int fds[2] = {-1, -1};
};

TEST_F(QtEventLoopTest, TimersFireInDueOrderAndKeepTheirPeriod) {
    QtEventLoop loop(clock);
    std::vector<std::string> fired;
    loop.addTimer(50, [&] { fired.push_back("slow"); });
    loop.addTimer(20, [&] { fired.push_back("fast"); });
    EXPECT_EQ(loop.msUntilNextTimer(), 20);
    EXPECT_EQ(loop.runDueTimers(), 0);
    const int steps[] = {20, 20, 10, 10};  // t = 20, 40, 50, 60
    for (int step : steps) {
        clock.advance(step);
        loop.runDueTimers();
    }
    EXPECT_EQ(fired, (std::vector<std::string>{"fast", "fast", "slow", "fast"}));
    EXPECT_EQ(loop.msUntilNextTimer(), 20);  // fast due at 80
}

TEST_F(QtEventLoopTest, ATimerFarBehindFiresOnceThenKeepsItsPeriodFromNow) {
    QtEventLoop loop(clock);
    int ticks = 0;
    loop.addTimer(20, [&] { ++ticks; });
    clock.advance(1000);
    loop.runDueTimers();
    loop.runDueTimers();
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(loop.msUntilNextTimer(), 20);
    clock.advance(20);
    loop.runDueTimers();
    EXPECT_EQ(ticks, 2);
}

TEST_F(QtEventLoopTest, ATimerRemovedByAnotherDueTimerNeverFires) {
    QtEventLoop loop(clock);
    int secondTicks = 0;
    int second = 0;
    loop.addTimer(10, [&] { loop.removeTimer(second); });
    second = loop.addTimer(10, [&] { ++secondTicks; });
    clock.advance(10);
    loop.runDueTimers();
    clock.advance(10);
    loop.runDueTimers();
    EXPECT_EQ(secondTicks, 0);
    loop.removeTimer(1);
    EXPECT_EQ(loop.msUntilNextTimer(), -1);
}

TEST_F(QtEventLoopTest, TheWakeTimerRunsDueTimersFromTheQtLoop) {
    QtEventLoop loop(clock);
    int ticks = 0;
    loop.addTimer(5, [&] { ++ticks; });
    clock.advance(5);
    // The wake-up QTimer was armed for 5 ms of real time; the Qt loop runs
    // it once that has passed, with no test code calling runDueTimers.
    QElapsedTimer waited;
    waited.start();
    while (ticks == 0 && waited.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    EXPECT_EQ(ticks, 1);
}

// On the real clock the wake-up QTimer stays running between the ticks of a
// steady timer: the ticks keep coming, none before its due time, also while
// and after a second timer at another phase restarts the wake-up QTimer.
TEST_F(QtEventLoopTest, RealClockTicksNeverComeEarlyWhileTheWakeTimerKeepsRunning) {
    const platform::Clock& steady = platform::SteadyClock::instance();
    QtEventLoop loop(steady);
    constexpr int kPeriodMs = 20;
    constexpr int kTicks = 12;
    const int64_t start = steady.nowMs();
    std::vector<int64_t> tickTimes;
    std::vector<int64_t> otherTimes;
    platform::EventLoop::TimerId other = 0;
    int64_t otherAdded = 0;
    loop.addTimer(kPeriodMs, [&] {
        tickTimes.push_back(steady.nowMs());
        if (tickTimes.size() == 3) {
            otherAdded = steady.nowMs();
            other = loop.addTimer(7, [&] {
                otherTimes.push_back(steady.nowMs());
                if (otherTimes.size() == 3) {
                    loop.removeTimer(other);
                }
            });
        }
    });
    QElapsedTimer waited;
    waited.start();
    while (tickTimes.size() < kTicks && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    ASSERT_EQ(tickTimes.size(), static_cast<size_t>(kTicks));
    // Each due time is at least one period after the one before it, also
    // after a tick that fell behind (then it is one period after that tick).
    for (size_t i = 0; i < tickTimes.size(); ++i) {
        EXPECT_GE(tickTimes[i], start + kPeriodMs * static_cast<int64_t>(i + 1)) << "tick " << i;
    }
    ASSERT_EQ(otherTimes.size(), 3u);
    for (size_t i = 0; i < otherTimes.size(); ++i) {
        EXPECT_GE(otherTimes[i], otherAdded + 7 * static_cast<int64_t>(i + 1)) << "other " << i;
    }
}

TEST_F(QtEventLoopTest, AReadWatchFiresWhileDataWaitsAndNotAfterRemoval) {
    QtEventLoop loop(clock);
    int ready = 0;
    int watch = 0;
    watch = loop.addReadWatch(fds[0], [&] {
        ++ready;
        char buffer[16];
        while (::read(fds[0], buffer, sizeof buffer) > 0) {
        }
        loop.removeWatch(watch);  // a callback may remove its own watch
    });
    processEvents();
    EXPECT_EQ(ready, 0);
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    processEvents();
    EXPECT_EQ(ready, 1);
    ASSERT_EQ(::write(fds[1], "y", 1), 1);
    processEvents();
    EXPECT_EQ(ready, 1);
}

TEST_F(QtEventLoopTest, AHangUpCountsAsReady) {
    QtEventLoop loop(clock);
    int ready = 0;
    const int watch = loop.addReadWatch(fds[0], [&] { ++ready; });
    ::close(fds[1]);
    fds[1] = ::open("/dev/null", O_WRONLY | O_CLOEXEC);  // keep TearDown's close valid
    processEvents();
    EXPECT_GE(ready, 1);
    loop.removeWatch(watch);
}

// Deferred tasks run when the dispatcher is about to wait, in the order
// deferred, those deferred by a deferred task included, and not before.
TEST_F(QtEventLoopTest, DeferredTasksRunBeforeTheLoopWaitsAgain) {
    QtEventLoop loop(clock);
    std::vector<std::string> ran;
    loop.addReadWatch(fds[0], [&] {
        char buffer[16];
        while (::read(fds[0], buffer, sizeof buffer) > 0) {
        }
        ran.push_back("watch");
        loop.defer([&] { ran.push_back("deferred by the watch"); });
    });
    loop.defer([&] {
        ran.push_back("first");
        loop.defer([&] {
            ran.push_back("deferred by a deferred task");
            ASSERT_EQ(::write(fds[1], "x", 1), 1);
        });
    });
    loop.defer([&] { ran.push_back("second"); });
    EXPECT_TRUE(ran.empty());
    QTimer guard;  // a waiting dispatcher always wakes again soon
    guard.start(20);
    QElapsedTimer elapsed;
    elapsed.start();
    while (ran.size() < 5 && elapsed.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "deferred by a deferred task",
                                             "watch", "deferred by the watch"}));
}

}  // namespace
