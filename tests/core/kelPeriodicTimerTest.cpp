#include "core/kelPeriodicTimer.h"

#include "core/kelCreate.h"
#include "platform/kelPlatformThread.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <time.h>
#include <vector>

namespace {

int64_t nowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr int64_t kMs = 1000000;

// A timer whose time source is the test: it ticks when the test says so.
class ManualTimer : public kelAbstractTimer
{
public:
    using kelAbstractTimer::kelAbstractTimer;
    using kelAbstractTimer::tick;

    int starts = 0;
    int stops = 0;
    int doTimers = 0;
    bool raiseInChange = false;
    std::vector<uintptr_t> startedWith;

protected:
    void doTimer() override { ++doTimers; }
    void changeInterval(uintptr_t& value) override
    {
        if (value < 5) value = 5;
        if (raiseInChange) throw std::runtime_error("no");
    }
    bool doStart() override
    {
        ++starts;
        startedWith.push_back(interval());
        return true;
    }
    void doStop() override { ++stops; }
};

} // namespace

TEST(kelAbstractTimerTest, TicksFollowTheRunningAndPausedFlagsAndSwallowErrors)
{
    kelOwned<ManualTimer> t(kelCreate<ManualTimer>(40));
    int fired = 0;
    t->setOnTimer([&](kelAbstractTimer* sender) {
        EXPECT_EQ(sender, t.get());
        EXPECT_EQ(t->doTimers, ++fired); // doTimer runs first
        throw std::runtime_error("handler");
    });
    t->start();
    t->start();
    EXPECT_EQ(t->starts, 1);
    t->tick();
    t->pause();
    t->tick();
    EXPECT_EQ(fired, 1);
    t->start(); // starting a paused timer resumes it
    t->tick();
    EXPECT_EQ(fired, 2);

    ASSERT_TRUE(t->acquire(false, 1000));
    std::thread other([&] { t->tick(); }); // gives up after interval / 2
    other.join();
    t->releaseWO();
    EXPECT_EQ(fired, 2);

    t->stop();
    t->stop();
    EXPECT_FALSE(t->isRunning());
    EXPECT_EQ(t->stops, 1);
}

TEST(kelAbstractTimerTest, IntervalChangeRestartsARunningTimerThroughTheHook)
{
    kelOwned<ManualTimer> t(kelCreate<ManualTimer>(40));
    t->setInterval(30); // stopped: just stored
    EXPECT_EQ(t->starts, 0);
    t->start();
    t->setInterval(2); // the hook raises it to 5
    EXPECT_EQ(t->interval(), 5u);
    EXPECT_TRUE(t->isRunning());
    ASSERT_EQ(t->startedWith.size(), 2u);
    EXPECT_EQ(t->startedWith[1], 5u);
    t->setInterval(5); // same value: nothing happens
    EXPECT_EQ(t->starts, 2);

    t->raiseInChange = true;
    t->setInterval(50);
    EXPECT_TRUE(t->isRunning()); // restarted although the hook raised
    EXPECT_EQ(t->interval(), 50u);
}

TEST(kelTickScheduleTest, DeadlinesStayOnTheGridWhateverTheHandlerTakes)
{
    kelTickSchedule s;
    s.reset(1000 * kMs, 10);
    EXPECT_EQ(s.nextDeadline(), 1010 * kMs);
    // Reached 3 ms late: the next deadline does not move.
    EXPECT_EQ(s.advance(1013 * kMs), 0u);
    EXPECT_EQ(s.nextDeadline(), 1020 * kMs);
    // Three periods late: caught up tick by tick.
    EXPECT_EQ(s.advance(1050 * kMs), 0u);
    EXPECT_EQ(s.nextDeadline(), 1030 * kMs);
    // Far behind: whole periods are dropped, still on the grid, past now.
    const int64_t late = 1030 * kMs + (kelTickSchedule::kMaxLag + 55) * kMs;
    const uint64_t dropped = s.advance(late);
    EXPECT_GT(dropped, 0u);
    EXPECT_GT(s.nextDeadline(), late);
    EXPECT_EQ((s.nextDeadline() - 1000 * kMs) % (10 * kMs), 0);

    s.reset(0, 0); // a zero interval ticks every millisecond
    EXPECT_EQ(s.nextDeadline(), kMs);
}

TEST(kelPeriodicTimerTest, TicksAtItsIntervalWithoutDrift)
{
    constexpr int kTicks = 30;
    constexpr int64_t kInterval = 20;
    kelOwned<kelPeriodicTimer> t(kelCreate<kelPeriodicTimer>(kInterval));
    std::mutex m;
    std::vector<int64_t> at;
    t->setOnTimer([&](kelAbstractTimer*) {
        {
            std::lock_guard lock(m);
            at.push_back(nowNs());
        }
        kelSleepMs(12); // a handler that takes most of the interval
    });
    const int64_t started = nowNs();
    t->start();
    ASSERT_TRUE(t->isRunning());
    ASSERT_TRUE(kelTestWaitUntil([&] { return t->tickCount() >= kTicks; }));
    t->stop();
    std::lock_guard lock(m);
    ASSERT_GE(at.size(), static_cast<size_t>(kTicks));
    for (int k = 0; k < kTicks; ++k) // never early
        EXPECT_GE(at[static_cast<size_t>(k)] - started, (k + 1) * kInterval * kMs) << "tick " << k;
    // A timer that slept one interval after each handler would need 30 * 32 ms.
    EXPECT_LT(at[kTicks - 1] - started, (kTicks * kInterval + 250) * kMs);
}

TEST(kelPeriodicTimerTest, KeepsRunningWithANewIntervalAndStopsPromptly)
{
    kelOwned<kelPeriodicTimer> t(kelCreate<kelPeriodicTimer>(1000));
    std::atomic<int> fired{0};
    t->setOnTimer([&](kelAbstractTimer*) { ++fired; });
    t->start();
    t->setInterval(5);
    EXPECT_TRUE(t->isRunning());
    EXPECT_TRUE(kelTestWaitUntil([&] { return fired >= 5; }));

    t->pause();
    const int paused = fired;
    t->resume();
    EXPECT_TRUE(kelTestWaitUntil([&] { return fired > paused + 2; }));

    t->setInterval(60000);
    const uint64_t mark = tickNow();
    t->stop(); // ends the minute-long wait at once
    EXPECT_LT(ticksSince(mark), 3000u);
    EXPECT_FALSE(t->isRunning());
}

TEST(kelPeriodicTimerTest, HandlerMayStopOrRetimeItsOwnTimer)
{
    kelOwned<kelPeriodicTimer> t(kelCreate<kelPeriodicTimer>(5));
    std::atomic<int> fired{0};
    t->setOnTimer([&](kelAbstractTimer* sender) {
        const int n = ++fired;
        if (n == 3) sender->setInterval(6);
        if (n == 6) sender->stop();
    });
    t->start();
    ASSERT_TRUE(kelTestWaitUntil([&] { return fired >= 6 && !t->isRunning(); }));
    EXPECT_EQ(t->interval(), 6u);
    EXPECT_EQ(fired, 6);
    t->start(); // and it can run again
    EXPECT_TRUE(kelTestWaitUntil([&] { return fired > 6; }));
}
