#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/PollEventLoop.h"

using platform::ManualClock;
using platform::PollEventLoop;

TEST(PollEventLoop, TimersFireInDueOrderUnderAHandAdvancedClock) {
    ManualClock clock;
    PollEventLoop loop(clock);
    std::vector<std::string> fired;
    loop.addTimer(50, [&] { fired.push_back("slow"); });
    loop.addTimer(20, [&] { fired.push_back("fast"); });

    EXPECT_EQ(loop.runOnce(0), 0);  // nothing due at t=0
    clock.advance(20);
    loop.runOnce(0);
    clock.advance(20);
    loop.runOnce(0);
    clock.advance(10);  // t=50: slow is due at 50, fast at 60
    loop.runOnce(0);
    clock.advance(10);  // t=60
    loop.runOnce(0);
    EXPECT_EQ(fired, (std::vector<std::string>{"fast", "fast", "slow", "fast"}));
}

TEST(PollEventLoop, TimerFallenFarBehindFiresOnceThenKeepsItsPeriod) {
    ManualClock clock;
    PollEventLoop loop(clock);
    int ticks = 0;
    loop.addTimer(20, [&] { ++ticks; });
    clock.advance(1000);
    loop.runOnce(0);
    loop.runOnce(0);
    EXPECT_EQ(ticks, 1);
    clock.advance(19);
    loop.runOnce(0);
    EXPECT_EQ(ticks, 1);
    clock.advance(1);
    loop.runOnce(0);
    EXPECT_EQ(ticks, 2);
}

TEST(PollEventLoop, RemovedTimerNeverFiresEvenWhenRemovedByAnotherDueTimer) {
    ManualClock clock;
    PollEventLoop loop(clock);
    int secondTicks = 0;
    int second = 0;
    loop.addTimer(10, [&] { loop.removeTimer(second); });
    second = loop.addTimer(10, [&] { ++secondTicks; });
    clock.advance(10);
    loop.runOnce(0);
    clock.advance(10);
    loop.runOnce(0);
    EXPECT_EQ(secondTicks, 0);
}

TEST(PollEventLoop, ReadWatchFiresWhenDataArrivesAndNotBefore) {
    PollEventLoop loop;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string got;
    const int watch = loop.addReadWatch(fds[0], [&] {
        char buf[16];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    });
    EXPECT_EQ(loop.runOnce(0), 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    EXPECT_EQ(loop.runOnce(1000), 1);
    EXPECT_EQ(got, "abc");

    loop.removeWatch(watch);
    ASSERT_EQ(write(fds[1], "d", 1), 1);
    EXPECT_EQ(loop.runOnce(0), 0);
    EXPECT_EQ(got, "abc");
    close(fds[0]);
    close(fds[1]);
}

TEST(PollEventLoop, StopFromATimerEndsRun) {
    PollEventLoop loop;
    int ticks = 0;
    loop.addTimer(1, [&] {
        if (++ticks == 3) loop.stop();
    });
    loop.run();
    EXPECT_EQ(ticks, 3);
}

// Work deferred from a callback runs in the next turn before anything else
// and that turn does not wait: a deferral costs no wake-up and no delay.
TEST(PollEventLoop, DeferredTasksRunAtTheStartOfTheNextTurnWithoutWaiting) {
    ManualClock clock;
    PollEventLoop loop(clock);
    std::vector<std::string> ran;
    loop.addTimer(10, [&] {
        ran.push_back("timer");
        loop.defer([&] {
            ran.push_back("deferred");
            loop.defer([&] { ran.push_back("deferred by deferred"); });
        });
    });
    clock.advance(10);
    EXPECT_EQ(loop.runOnce(0), 1);
    EXPECT_EQ(ran, (std::vector<std::string>{"timer"}));
    // A long maximum wait: the turn must still return at once.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(loop.runOnce(5000), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(ran, (std::vector<std::string>{"timer", "deferred", "deferred by deferred"}));
    EXPECT_EQ(loop.runOnce(0), 0);
}
