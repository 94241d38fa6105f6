#include "kelTestStreamer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/kelEvent.h"
#include "tests/support/kelTestWait.h"

namespace {

// A hand-driven clock. A thread that sets tl_holdInClock stops inside its
// next clock read (and so inside the bandwidth lock) until released.
thread_local bool tl_holdInClock = false;

struct HoldingClock final : kelClock
{
    mutable std::atomic<uint64_t> t{1000};
    mutable kelEvent entered{true, false};
    mutable kelEvent release{true, false};

    uint64_t nowUs() const noexcept override
    {
        if (tl_holdInClock) {
            tl_holdInClock = false;
            entered.setState(true);
            (void)release.waitFor(10000);
        }
        return t.load() * 1000u;
    }
};

} // namespace

TEST(kelIPStreamerBandwidthTest, BitsPerSecondOverATwoSecondWindow)
{
    HoldingClock mc;
    auto s = kelMakeOwned<kelTestStreamer>();
    s->setClock(mc);
    s->measureBandwidth(kelBandwidthDir::in, 1000); // window starts at 1000
    s->measureBandwidth(kelBandwidthDir::out, 250);
    mc.t = 3000; // exactly 2000 ms: still open
    s->measureBandwidth(kelBandwidthDir::in, 500);
    EXPECT_EQ(s->inBandwidth(), 0);
    mc.t = 3001;
    s->measureBandwidth(kelBandwidthDir::out, 0);
    EXPECT_EQ(s->inBandwidth(), 4 * 1500);
    EXPECT_EQ(s->outBandwidth(), 4 * 250);
    // The new window began at 3001 with nothing in it.
    s->measureBandwidth(kelBandwidthDir::out, 100);
    mc.t = 5002;
    s->onIdleForTest();
    EXPECT_EQ(s->inBandwidth(), 0);
    EXPECT_EQ(s->outBandwidth(), 400);
    // No traffic for more than two seconds: both read 0.
    mc.t = 7003;
    s->onIdleForTest();
    EXPECT_EQ(s->inBandwidth(), 0);
    EXPECT_EQ(s->outBandwidth(), 0);
}

TEST(kelIPStreamerBandwidthTest, IdleThreadTicksWhileOpenAndClosesTheWindow)
{
    HoldingClock mc;
    auto s = kelMakeOwned<kelTestStreamer>();
    s->setClock(mc);
    EXPECT_EQ(s->idleThread()->status(), keltsStopped);
    ASSERT_TRUE(s->open());
    s->measureBandwidth(kelBandwidthDir::in, 2500);
    mc.t = 3500;
    // Only the idle thread measures now.
    EXPECT_TRUE(kelTestWaitUntil([&] { return s->inBandwidth() == 10000; }, 10000));
    EXPECT_TRUE(kelTestWaitUntil([&] { return s->idles() >= 3; }, 10000));
    s->close();
    EXPECT_FALSE(s->active());
    EXPECT_EQ(s->idleThread()->status(), keltsStopped);
    EXPECT_EQ(s->inBandwidth(), 0);
    // Open again: ticking resumes.
    const int before = s->idles();
    ASSERT_TRUE(s->open());
    EXPECT_TRUE(kelTestWaitUntil([&] { return s->idles() > before; }, 10000));
}

// Closing while a sending thread is inside a sample must not break the
// bandwidth lock: once the sender leaves, measuring goes on as before.
TEST(kelIPStreamerBandwidthTest, CloseDuringASampleKeepsTheLockWorking)
{
    HoldingClock mc;
    auto s = kelMakeOwned<kelTestStreamer>();
    s->setClock(mc);
    ASSERT_TRUE(s->open());
    std::thread sender([&] {
        tl_holdInClock = true;
        s->measureBandwidth(kelBandwidthDir::out, 100);
    });
    ASSERT_TRUE(mc.entered.waitFor(10000));
    s->close();
    mc.release.setState(true);
    sender.join();

    ASSERT_TRUE(s->open());
    s->measureBandwidth(kelBandwidthDir::in, 1000);
    mc.t = mc.t.load() + 2001;
    s->measureBandwidth(kelBandwidthDir::in, 0);
    EXPECT_EQ(s->inBandwidth(), 4000);
    s->close();
}
