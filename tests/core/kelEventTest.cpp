#include "core/kelEvent.h"

#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <thread>

TEST(kelEventTest, InfiniteWaitOnSignalledEventReturnsAtOnce)
{
    kelEvent e(true, true, u"ready");
    EXPECT_EQ(e.name(), u"ready");
    const uint64_t start = tickNow();
    EXPECT_TRUE(e.waitFor(4294967295LL));
    EXPECT_TRUE(e.waitFor(kelEvent::kInfinite)); // manual reset: still signalled
    EXPECT_LT(ticksSince(start), 100u);
}

TEST(kelEventTest, NegativeTimeoutWaitsForItsAbsoluteValue)
{
    kelEvent e(false, false);
    const uint64_t start = tickNow();
    EXPECT_FALSE(e.waitFor(-200));
    const uint64_t took = ticksSince(start);
    EXPECT_GE(took, 199u);
    EXPECT_LT(took, 3000u);
}

TEST(kelEventTest, AutoResetReleasesOneWait)
{
    kelEvent e(false, true);
    EXPECT_TRUE(e.waitFor(0));
    EXPECT_FALSE(e.waitFor(0));
    e.setState(true);
    e.setState(false);
    EXPECT_FALSE(e.waitFor(10));
}

TEST(kelEventTest, SignalFromAnotherThreadWakesTheWaiter)
{
    kelEvent e(false, false);
    std::thread t([&] {
        kelSleepMs(20);
        e.setState(true);
    });
    EXPECT_TRUE(e.waitFor(5000));
    t.join();
}

TEST(kelEventTest, WaitForAnyReportsAndConsumesOnlyTheOneThatFired)
{
    kelEvent a(false, false), b(false, false), m(true, false);
    kelEvent* all[] = {&a, &b, &m};
    EXPECT_EQ(kelEvent::waitForAny(all, 3, 20), -1);

    b.setState(true);
    m.setState(true);
    EXPECT_EQ(kelEvent::waitForAny(all, 3, 0), 1);
    EXPECT_FALSE(b.isSignaled()); // auto reset: consumed
    EXPECT_EQ(kelEvent::waitForAny(all, 3, 0), 2);
    EXPECT_TRUE(m.isSignaled()); // manual reset: left signalled
    m.setState(false);

    std::thread t([&] {
        kelSleepMs(20);
        a.setState(true);
    });
    EXPECT_EQ(kelEvent::waitForAny(all, 3, kelEvent::kInfinite), 0);
    t.join();
    EXPECT_FALSE(a.isSignaled());
}

TEST(kelEventTest, WaitForAnyLosesNoWakeWhileAnotherEventKeepsPokingItsWaiter)
{
    // Two threads hand a turn back and forth through waitForAny, each one
    // signal per turn, so a lost wake stalls the exchange. A third thread
    // keeps signalling an event the first one also waits on: its waiter is
    // poked while it returns and waits again, and a poke may still be in
    // flight when the next wait starts.
    kelEvent ping(false, false), pong(false, false), noise(false, false);
    std::atomic<bool> stop{false};
    std::atomic<int> lost{0};
    constexpr int kTurns = 20000;
    std::thread noisy([&] {
        while (!stop.load())
            noise.setState(true);
    });
    std::thread echo([&] {
        kelEvent* mine[] = {&noise, &ping};
        for (int i = 0; i < kTurns && lost.load() == 0; ++i) {
            intptr_t fired;
            while ((fired = kelEvent::waitForAny(mine, 2, 5000)) == 0) {
            }
            if (fired != 1) lost.fetch_add(1);
            pong.setState(true);
        }
    });
    kelEvent* theirs[] = {&pong};
    for (int i = 0; i < kTurns && lost.load() == 0; ++i) {
        ping.setState(true);
        if (kelEvent::waitForAny(theirs, 1, 5000) != 0) lost.fetch_add(1);
    }
    stop.store(true);
    echo.join();
    noisy.join();
    EXPECT_EQ(lost.load(), 0);
}

TEST(kelEventTest, PollDescriptorFollowsTheState)
{
    kelEvent e(false, false);
    const int fd = e.pollFd();
    ASSERT_GE(fd, 0);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);

    std::thread t([&] {
        kelSleepMs(20);
        e.setState(true);
    });
    EXPECT_EQ(::poll(&p, 1, 5000), 1);
    t.join();
    EXPECT_TRUE(e.waitFor(0)); // consumes the signal and clears the descriptor
    EXPECT_EQ(::poll(&p, 1, 0), 0);
}
