#include "core/kelThread.h"

#include "core/kelCreate.h"
#include "platform/kelPlatformThread.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A thread whose body is a test-supplied function and whose hooks can be
// made to refuse or raise.
class TestThread : public kelThread
{
public:
    explicit TestThread(std::function<intptr_t(TestThread*)> body) : f_body(std::move(body)) {}

    std::atomic<bool> refuseStart{false}, refuseStop{false}, raiseInStartIn{false};
    std::atomic<int> executed{0}, startOuts{0};

protected:
    intptr_t execute(uintptr_t) override
    {
        ++executed;
        return f_body(this);
    }
    bool grantStart() override { return !refuseStart; }
    bool grantStop() override { return !refuseStop; }
    void startIn() override
    {
        if (raiseInStartIn) throw std::runtime_error("startIn failed");
    }
    void startOut() override { ++startOuts; }

private:
    std::function<intptr_t(TestThread*)> f_body;
};

intptr_t cooperativeBody(TestThread* t)
{
    while (!t->shouldStop())
        t->sleepThread(1000);
    return 0;
}

// Ignores the stop request until the test lets it go.
class StubbornThread : public kelThread
{
public:
    std::atomic<bool> release{false}, sawStopAfterRelease{false}, stubborn{true};
    std::atomic<int> runs{0};

protected:
    intptr_t execute(uintptr_t) override
    {
        ++runs;
        if (!stubborn) {
            while (!shouldStop())
                sleepThread(1000);
            return 3;
        }
        while (!release)
            kelSleepMs(1);
        sawStopAfterRelease = shouldStop(); // the object must still be alive here
        return 42;
    }
};

} // namespace

TEST(kelThreadTest, BodyThatReturnsAtOnceStartsAndCanBeStartedAgain)
{
    kelOwned<TestThread> t(kelCreate<TestThread>([](TestThread*) -> intptr_t { return 7; }));
    for (int run = 1; run <= 2; ++run) {
        EXPECT_TRUE(t->start(10000));
        EXPECT_TRUE(kelTestWaitUntil([&] { return t->status() == keltsStopped && !t->bodyActive(); }));
        EXPECT_EQ(t->exitCode(), 7u);
        EXPECT_EQ(t->startOuts, run);
    }
}

TEST(kelThreadTest, SleepThreadTimesOutIsWokenAndEndsAtOnceOnStop)
{
    std::atomic<int> phase{0};
    std::atomic<bool> timedOut{false}, woken{false};
    kelOwned<TestThread> t(kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        timedOut = !self->sleepThread(5);
        phase = 1;
        woken = self->sleepThread(60000);
        phase = 2;
        self->sleepThread(60000);
        return self->shouldStop() ? 5 : 6;
    }));
    ASSERT_TRUE(t->start(10000));
    EXPECT_EQ(t->status(), keltsRunning);
    ASSERT_TRUE(kelTestWaitUntil([&] { return phase == 1; }));
    t->wakeUp();
    ASSERT_TRUE(kelTestWaitUntil([&] { return phase == 2; }));
    const uint64_t mark = tickNow();
    EXPECT_TRUE(t->stop(30000, false));
    EXPECT_LT(ticksSince(mark), 10000u);
    EXPECT_TRUE(timedOut);
    EXPECT_TRUE(woken);
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_EQ(t->exitCode(), 5u);
    EXPECT_FALSE(t->shouldStop()); // cleared once the thread ended
}

TEST(kelThreadTest, BodyStoppingItselfDoesNotWait)
{
    std::atomic<uint64_t> took{~0ull};
    kelOwned<TestThread> t(kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        const uint64_t mark = tickNow();
        self->stop(3000, true);
        took = ticksSince(mark);
        return self->shouldStop() ? 0 : 1;
    }));
    ASSERT_TRUE(t->start(10000));
    ASSERT_TRUE(t->waitForTerminate(10000));
    EXPECT_LT(took.load(), 1000u);
    EXPECT_EQ(t->exitCode(), 0u); // saw its stop, and was not forced
}

TEST(kelThreadTest, RefusedGrantsLeaveTheStatusAlone)
{
    kelOwned<TestThread> t(kelCreate<TestThread>(cooperativeBody));
    t->refuseStart = true;
    EXPECT_FALSE(t->start(1000));
    EXPECT_FALSE(t->bodyActive());
    t->refuseStart = false;
    ASSERT_TRUE(t->start(10000));
    t->refuseStop = true;
    EXPECT_FALSE(t->stop(100, false));
    t->askStop();
    EXPECT_EQ(t->status(), keltsRunning);
    EXPECT_FALSE(t->shouldStop());
    t->refuseStop = false;
    EXPECT_TRUE(t->stop(10000, false));
    EXPECT_EQ(t->status(), keltsStopped);
}

TEST(kelThreadTest, StartInThatRaisesFailsTheStartPromptly)
{
    kelOwned<TestThread> t(kelCreate<TestThread>(cooperativeBody));
    t->raiseInStartIn = true;
    const uint64_t mark = tickNow();
    EXPECT_FALSE(t->start(10000)); // promptly, not after the start timeout
    EXPECT_LT(ticksSince(mark), 5000u);
    EXPECT_TRUE(t->waitForTerminate(10000));
    EXPECT_EQ(t->executed, 0);
    EXPECT_EQ(t->exitCode(), kelThread::kFailedExitCode);
}

TEST(kelThreadTest, ForcedStopAbandonsAStubbornRunWithoutHarmAndAllowsARestart)
{
    kelOwned<StubbornThread> t(kelCreate<StubbornThread>());
    ASSERT_TRUE(t->start(10000));
    EXPECT_TRUE(t->stop(100, false)); // not forced: it keeps running
    EXPECT_EQ(t->status(), keltsStopping);
    EXPECT_TRUE(t->stop(100, true));
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_EQ(t->exitCode(), kelThread::kForcedExitCode);
    EXPECT_FALSE(t->shouldStop());
    EXPECT_TRUE(t->bodyActive());

    // A second body must not run on the object while the first one lives.
    EXPECT_FALSE(t->start(50));
    EXPECT_EQ(t->runs, 1);

    // The late body sees its stop, and its epilogue leaves the record alone.
    t->release = true;
    ASSERT_TRUE(t->waitForTerminate(10000));
    EXPECT_TRUE(t->sawStopAfterRelease);
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_EQ(t->exitCode(), kelThread::kForcedExitCode);

    t->stubborn = false;
    ASSERT_TRUE(t->start(10000));
    EXPECT_EQ(t->status(), keltsRunning);
    EXPECT_TRUE(t->stop(10000, false));
    EXPECT_EQ(t->exitCode(), 3u);
    EXPECT_EQ(t->runs, 2);
}

TEST(kelThreadTest, FreeingWaitsUntilAnAbandonedBodyLeavesTheObject)
{
    const size_t slotsBefore = kelThread::slotsInUse();
    auto* t = kelCreate<StubbornThread>();
    ASSERT_TRUE(t->start(10000));
    std::atomic<bool> freed{false};
    std::thread freer([&] {
        kelFree(t); // forced after one second, then waits for the body
        freed = true;
    });
    kelSleepMs(1500); // well past the grace
    EXPECT_FALSE(freed);
    t->release = true;
    freer.join();
    // The slot is free once the late procedure has let go of it too.
    EXPECT_TRUE(kelTestWaitUntil([&] { return kelThread::slotsInUse() == slotsBefore; }));
}

TEST(kelThreadTest, FreeingARunningThreadEndsItNormallyWithinTheGrace)
{
    std::atomic<bool> endedNormally{false};
    auto* t = kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        while (!self->shouldStop())
            kelSleepMs(10);
        endedNormally = true;
        return 0;
    });
    ASSERT_TRUE(t->start(10000));
    const uint64_t mark = tickNow();
    kelFree(t);
    EXPECT_LT(ticksSince(mark), 1000u); // within the grace
    EXPECT_TRUE(endedNormally);
}

TEST(kelThreadTest, PauseHoldsTheBodyUntilResumeOrStop)
{
    std::atomic<int> loops{0};
    kelOwned<TestThread> t(kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        while (!self->shouldStop()) {
            ++loops;
            self->sleepThread(1);
        }
        return 0;
    }));
    ASSERT_TRUE(t->start(10000));
    ASSERT_TRUE(kelTestWaitUntil([&] { return loops > 3; }));
    EXPECT_TRUE(t->pause());
    EXPECT_EQ(t->status(), keltsPaused);
    kelSleepMs(20);
    const int held = loops;
    kelSleepMs(50);
    EXPECT_LE(loops - held, 1);

    EXPECT_TRUE(t->resume());
    EXPECT_EQ(t->status(), keltsRunning);
    EXPECT_TRUE(kelTestWaitUntil([&] { return loops > held + 3; }));
    EXPECT_TRUE(t->pause());
    EXPECT_TRUE(t->stop(500, false)); // resumed and asked to stop
    EXPECT_TRUE(kelTestWaitUntil([&] { return t->status() == keltsStopped; }));
}

TEST(kelThreadTest, ForcedStopOfAPausedThreadStaysForced)
{
    kelOwned<StubbornThread> t(kelCreate<StubbornThread>());
    ASSERT_TRUE(t->start(10000));
    EXPECT_TRUE(t->pause());
    t->setDefaultStopTimeout(100);
    EXPECT_TRUE(t->stop(100, true));
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_EQ(t->exitCode(), kelThread::kForcedExitCode);
    t->release = true;
    EXPECT_TRUE(t->waitForTerminate(10000));
}

TEST(kelThreadTest, WakeUpAndStopEndEventWaitsAndPollOnTheWakeDescriptor)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    kelEvent never(false, false);
    std::atomic<int> phase{0};
    std::atomic<bool> eventFired{true};
    kelOwned<TestThread> t(kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        eventFired = self->waitForEvent(never, 60000);
        phase = 1;
        pollfd p[2] = {{fds[0], POLLIN, 0}, {self->wakeFd(), POLLIN, 0}};
        while (!self->shouldStop()) {
            if (::poll(p, 2, 60000) > 0 && (p[1].revents & POLLIN)) self->consumeWake();
        }
        return 0;
    }));
    ASSERT_TRUE(t->start(10000));
    t->wakeUp();
    ASSERT_TRUE(kelTestWaitUntil([&] { return phase == 1; }));
    EXPECT_FALSE(eventFired);
    kelSleepMs(10); // let it reach poll(); a stop before that ends the loop too
    const uint64_t mark = tickNow();
    EXPECT_TRUE(t->stop(30000, false));
    EXPECT_LT(ticksSince(mark), 10000u);
    EXPECT_EQ(t->status(), keltsStopped);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(kelThreadTest, PriorityMapsToNiceValues)
{
    EXPECT_EQ(kelPriorityToNice(kelThreadPriorityTimeCritical), -20);
    errno = 0;
    const int base = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
    ASSERT_EQ(errno, 0);
    std::atomic<int> niceInBody{100};
    kelOwned<TestThread> t(kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        niceInBody = ::getpriority(PRIO_PROCESS, static_cast<id_t>(kelCurrentThreadId()));
        return cooperativeBody(self);
    }));
    EXPECT_TRUE(t->setPriority(kelThreadPriorityLowest)); // stored, applied at start
    ASSERT_TRUE(t->start(10000));
    ASSERT_TRUE(kelTestWaitUntil([&] { return niceInBody != 100; }));
    EXPECT_EQ(niceInBody, std::min(base + 10, 19));

    // Lowering a live thread's priority is always allowed.
    EXPECT_TRUE(t->setPriority(kelThreadPriorityIdle));
    EXPECT_EQ(t->priority(), kelThreadPriorityIdle);
    EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(t->getThreadId())), 19);
    const auto tid = static_cast<pid_t>(t->getThreadId());
    EXPECT_EQ(::sched_getscheduler(tid), SCHED_OTHER); // never real-time unless asked

    // Real-time scheduling needs the privilege; without it the setting stays.
    if (t->setPriority(kelThreadPriorityTimeCritical) && t->setRealTimeScheduling(true)) {
        EXPECT_EQ(::sched_getscheduler(tid), SCHED_FIFO);
        EXPECT_TRUE(t->setRealTimeScheduling(false));
    } else {
        EXPECT_FALSE(t->realTimeScheduling());
    }
    EXPECT_EQ(::sched_getscheduler(tid), SCHED_OTHER);
}

TEST(kelThreadTest, ObjectsBeyondTheSlotTableAreRefused)
{
    std::vector<kelOwned<kelThread>> threads;
    while (kelThread::slotsInUse() < kelThread::kSlotCount) {
        threads.emplace_back(kelCreate<kelThread>(false));
        ASSERT_TRUE(threads.back());
    }
    EXPECT_EQ(kelCreate<kelThread>(false), nullptr);

    kelThread unslotted(false); // made directly: no slot, cannot run
    EXPECT_EQ(unslotted.globalIndex(), kelThread::kNoSlot);
    EXPECT_FALSE(unslotted.start(100));

    threads.pop_back();
    EXPECT_TRUE(kelOwned<kelThread>(kelCreate<kelThread>(false)));
}
