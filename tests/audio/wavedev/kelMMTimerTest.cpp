// The multimedia timer: its resolution rule and requests, and its pacing,
// driven by a manual clock so that a minute passes in moments.

#include "audio/kelMMTimer.h"
#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// A timer on `clock`, started, ticking `rate` times a second (or every
// `interval` ms when rate is 0).
kelMMTimer* manualTimer(const kelManualClock& clock, uintptr_t interval, uintptr_t rate)
{
    auto* timer = kelCreate<kelMMTimer>(interval, uintptr_t(0));
    timer->setClock(clock);
    if (rate != 0) timer->setTicksPerSecond(rate);
    timer->start();
    return timer;
}

// Advances the clock `totalMs` in steps of `stepMs`, waiting after each step
// until the timer has raised the ticks due by then.
bool runFor(kelManualClock& clock, kelMMTimer* timer, uint64_t totalMs, uint64_t stepMs, uint64_t perSecond)
{
    const uint64_t base = timer->tickCount();
    for (uint64_t elapsed = stepMs; elapsed <= totalMs; elapsed += stepMs) {
        clock.advanceMs(stepMs);
        const uint64_t due = base + elapsed * perSecond / 1000;
        if (!kelTestWaitUntil([&] { return timer->tickCount() >= due; })) return false;
    }
    return true;
}

} // namespace

TEST(kelMMTimerTest, PeriodIsATenthOfTheIntervalRaisedToThePlatformMinimumWithOneResolutionRequest)
{
    const uint32_t before = kelTimePeriodRequests(1);
    auto* timer = kelCreate<kelMMTimer>(uintptr_t(20), uintptr_t(0));
    EXPECT_EQ(timer->lastMinPeriod(), 2u);
    EXPECT_EQ(kelTimePeriodRequests(1), before + 1);

    timer->setInterval(5); // 5 / 10 = 0, raised to the platform's 1 ms
    EXPECT_EQ(timer->lastMinPeriod(), std::max<uintptr_t>(1, timer->caps().wPeriodMin));
    timer->setInterval(100);
    EXPECT_EQ(timer->lastMinPeriod(), 10u);
    timer->setInterval(105); // same period: the request is neither renewed nor lost
    EXPECT_EQ(timer->lastMinPeriod(), 10u);
    EXPECT_EQ(kelTimePeriodRequests(1), before + 1);
    kelFree(timer);
    EXPECT_EQ(kelTimePeriodRequests(1), before);

    auto* fixed = kelCreate<kelMMTimer>(uintptr_t(20), uintptr_t(7));
    EXPECT_EQ(fixed->lastMinPeriod(), 7u);
    fixed->setInterval(1000);
    EXPECT_EQ(fixed->lastMinPeriod(), 7u);
    kelFree(fixed);
    EXPECT_EQ(kelTimePeriodRequests(1), before);
}

TEST(kelMMTimerTest, FortyNinePerSecondKeepsTheExactRateForAMinute)
{
    kelManualClock clock;
    kelMMTimer* timer = manualTimer(clock, 20, 49);
    EXPECT_EQ(timer->interval(), 20u);
    EXPECT_EQ(timer->ticksPerSecond(), 49u);
    ASSERT_TRUE(runFor(clock, timer, 60000, 250, 49));
    // Not one tick more than due either: 60 s at 49 per second.
    clock.advanceUs(1); // past nothing new: the next deadline is 20.4 ms away
    EXPECT_FALSE(kelTestWaitUntil([&] { return timer->tickCount() > 2940; }, 50));
    EXPECT_EQ(timer->tickCount(), 2940u);
    kelFree(timer);
}

TEST(kelMMTimerTest, AWholeMillisecondIntervalTicksOncePerInterval)
{
    kelManualClock clock;
    kelMMTimer* timer = manualTimer(clock, 20, 0);
    ASSERT_TRUE(runFor(clock, timer, 10000, 250, 50));
    EXPECT_EQ(timer->tickCount(), 500u);
    kelFree(timer);
}

TEST(kelMMTimerTest, AnIntervalOtherThanTheRoundedPeriodEndsTheRate)
{
    kelManualClock clock;
    kelMMTimer* timer = manualTimer(clock, 20, 49);
    timer->setInterval(20); // the rounded period of 49 per second: rate kept
    EXPECT_EQ(timer->ticksPerSecond(), 49u);
    timer->setInterval(10);
    EXPECT_EQ(timer->ticksPerSecond(), 0u);
    EXPECT_TRUE(timer->isRunning());
    ASSERT_TRUE(runFor(clock, timer, 1000, 100, 100));
    EXPECT_EQ(timer->tickCount(), 100u);
    kelFree(timer);
}

TEST(kelMMTimerTest, StoppedOrPausedTimerRaisesNoTicks)
{
    kelManualClock clock;
    kelMMTimer* timer = manualTimer(clock, 10, 0);
    int handled = 0;
    timer->setOnTimer([&](kelAbstractTimer*) { ++handled; });
    ASSERT_TRUE(runFor(clock, timer, 100, 50, 100));
    timer->pause();
    clock.advanceMs(100);
    // The pause holds while the timer notices the time that passed.
    EXPECT_FALSE(kelTestWaitUntil([&] { return timer->tickCount() > 10; }, 50));
    timer->stop();
    EXPECT_EQ(timer->timeEvent(), 0u);
    timer->resume();
    clock.advanceMs(100);
    EXPECT_FALSE(kelTestWaitUntil([&] { return timer->tickCount() > 10; }, 50));
    EXPECT_EQ(handled, 10);
    kelFree(timer);
}

TEST(kelMMTimerTest, SystemClockTimerTicksThroughThePlatformEvent)
{
    auto* timer = kelCreate<kelMMTimer>(uintptr_t(5), uintptr_t(0));
    timer->start();
    EXPECT_NE(timer->timeEvent(), 0u);
    EXPECT_TRUE(kelTestWaitUntil([&] { return timer->tickCount() >= 3; }));
    timer->setTicksPerSecond(300); // 3.33 ms: checked every stored period
    EXPECT_TRUE(timer->isRunning());
    const uint64_t before = timer->tickCount();
    EXPECT_TRUE(kelTestWaitUntil([&] { return timer->tickCount() >= before + 3; }));
    kelFree(timer);
}
