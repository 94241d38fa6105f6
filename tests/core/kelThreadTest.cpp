#include "core/kelThread.h"

#include "core/kelCreate.h"
#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool waitUntil(const std::function<bool()>& condition, uint64_t timeoutMs = 10000)
{
    const uint64_t mark = tickNow();
    while (!condition()) {
        if (ticksSince(mark) > timeoutMs) return false;
        kelSleepMs(1);
    }
    return true;
}

// A thread whose body is a test-supplied function and whose hooks can be
// made to refuse or raise.
class TestThread : public kelThread
{
public:
    explicit TestThread(std::function<intptr_t(TestThread*)> body, bool active = false)
        : kelThread(active), f_body(std::move(body))
    {}

    std::atomic<bool> refuseStart{false};
    std::atomic<bool> refuseStop{false};
    std::atomic<bool> raiseInStartIn{false};
    std::atomic<int> executed{0};
    std::atomic<int> startOuts{0};

protected:
    intptr_t execute(uintptr_t) override
    {
        ++executed;
        return f_body ? f_body(this) : 0;
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

} // namespace

TEST(kelThreadTest, BodyThatReturnsAtOnceStartsAndCanBeStartedAgain)
{
    kelOwned<TestThread> t(kelCreate<TestThread>([](TestThread*) -> intptr_t { return 7; }));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->status(), keltsStopped);
    for (int run = 1; run <= 2; ++run) {
        EXPECT_TRUE(t->start(10000));
        EXPECT_TRUE(waitUntil([&] { return t->status() == keltsStopped && !t->bodyActive(); }));
        EXPECT_EQ(t->exitCode(), 7u);
        EXPECT_EQ(t->executed, run);
        EXPECT_EQ(t->startOuts, run);
    }
}

TEST(kelThreadTest, StopEndsACooperativeBodySleepingForAMinute)
{
    kelOwned<TestThread> t(kelCreate<TestThread>([](TestThread* self) -> intptr_t {
        self->sleepThread(60000);
        return self->shouldStop() ? 5 : 6;
    }));
    ASSERT_TRUE(t->start(10000));
    EXPECT_EQ(t->status(), keltsRunning);
    EXPECT_NE(t->getThreadId(), 0u);
    EXPECT_NE(t->getThreadId(), kelCurrentThreadId());
    const uint64_t mark = tickNow();
    EXPECT_TRUE(t->stop(30000, false));
    EXPECT_LT(ticksSince(mark), 10000u);
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_EQ(t->exitCode(), 5u);
    EXPECT_FALSE(t->shouldStop()); // cleared once the thread ended
    EXPECT_EQ(t->getHandle(), 0u);
}

TEST(kelThreadTest, SleepThreadReportsWakeUpAndTimeout)
{
    std::atomic<int> phase{0};
    std::atomic<bool> timedOut{true}, woken{false};
    kelOwned<TestThread> t(kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        timedOut = !self->sleepThread(5);
        phase = 1;
        woken = self->sleepThread(60000);
        phase = 2;
        return 0;
    }));
    ASSERT_TRUE(t->start(10000));
    ASSERT_TRUE(waitUntil([&] { return phase == 1; }));
    t->wakeUp();
    ASSERT_TRUE(waitUntil([&] { return phase == 2; }));
    EXPECT_TRUE(timedOut);
    EXPECT_TRUE(woken);
    EXPECT_TRUE(t->waitForTerminate(10000));
}

TEST(kelThreadTest, AskStopAndShouldStopThreadSeeTheSameRequest)
{
    kelOwned<TestThread> t(kelCreate<TestThread>(cooperativeBody));
    ASSERT_TRUE(t->start(10000));
    EXPECT_FALSE(kelThread::shouldStopThread(t->globalIndex()));
    t->askStop();
    EXPECT_TRUE(kelThread::shouldStopThread(t->globalIndex()) || t->status() == keltsStopped);
    EXPECT_TRUE(t->waitForTerminate(10000));
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_FALSE(kelThread::shouldStopThread(kelThread::kSlotCount)); // out of range
}

TEST(kelThreadTest, BodyStoppingItselfDoesNotWait)
{
    std::atomic<uint64_t> took{~0ull};
    std::atomic<bool> sawStop{false};
    kelOwned<TestThread> t(kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        const uint64_t mark = tickNow();
        self->stop(3000, true);
        took = ticksSince(mark);
        sawStop = self->shouldStop();
        return 0;
    }));
    ASSERT_TRUE(t->start(10000));
    ASSERT_TRUE(t->waitForTerminate(10000));
    EXPECT_LT(took.load(), 1000u);
    EXPECT_TRUE(sawStop);
    EXPECT_EQ(t->exitCode(), 0u); // not forced
}

TEST(kelThreadTest, RefusedGrantsLeaveTheStatusAlone)
{
    kelOwned<TestThread> t(kelCreate<TestThread>(cooperativeBody));
    t->refuseStart = true;
    EXPECT_FALSE(t->start(1000));
    EXPECT_EQ(t->status(), keltsStopped);
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
    EXPECT_FALSE(t->start(10000));
    EXPECT_LT(ticksSince(mark), 5000u);
    EXPECT_TRUE(t->waitForTerminate(10000));
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_EQ(t->executed, 0);
    EXPECT_EQ(t->exitCode(), kelThread::kFailedExitCode);

    t->raiseInStartIn = false;
    EXPECT_TRUE(t->start(10000));
    EXPECT_TRUE(t->stop(10000, false));
}

TEST(kelThreadTest, ExecuteThatRaisesEndsWithTheFailureCode)
{
    kelOwned<TestThread> t(
        kelCreate<TestThread>([](TestThread*) -> intptr_t { throw std::logic_error("x"); }));
    ASSERT_TRUE(t->start(10000));
    ASSERT_TRUE(t->waitForTerminate(10000));
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_EQ(t->exitCode(), kelThread::kFailedExitCode);
    EXPECT_EQ(t->startOuts, 1);
}

TEST(kelThreadTest, OnExecuteRunsWhenExecuteIsNotOverridden)
{
    kelOwned<kelThread> t(kelCreate<kelThread>(false));
    std::atomic<kelThread*> seen{nullptr};
    t->setOnExecute([&](kelThread* self) -> intptr_t {
        seen = self;
        return 11;
    });
    ASSERT_TRUE(t->start(10000));
    ASSERT_TRUE(t->waitForTerminate(10000));
    EXPECT_EQ(seen.load(), t.get());
    EXPECT_EQ(t->exitCode(), 11u);
}

TEST(kelThreadTest, ActiveThreadStartsOnCreation)
{
    std::atomic<bool> ran{false};
    kelOwned<TestThread> t(kelCreate<TestThread>(
        [&](TestThread* self) -> intptr_t {
            ran = true;
            return cooperativeBody(self);
        },
        true));
    EXPECT_EQ(t->status(), keltsRunning);
    EXPECT_TRUE(waitUntil([&] { return ran.load(); }));
}

// A body that ignores the stop request until the test lets it go.
class StubbornThread : public kelThread
{
public:
    std::atomic<bool> release{false};
    std::atomic<bool> sawStopAfterRelease{false};
    std::atomic<int> lateTouches{0};
    std::atomic<int> runs{0};
    std::atomic<bool> stubborn{true};

protected:
    intptr_t execute(uintptr_t) override
    {
        ++runs;
        if (!stubborn) return cooperativeLoop();
        while (!release)
            kelSleepMs(1);
        sawStopAfterRelease = shouldStop();
        ++lateTouches; // the object must still be alive here
        return 42;
    }

private:
    intptr_t cooperativeLoop()
    {
        while (!shouldStop())
            sleepThread(1000);
        return 3;
    }
};

TEST(kelThreadTest, StopWithoutForceLeavesAStubbornBodyRunning)
{
    kelOwned<StubbornThread> t(kelCreate<StubbornThread>());
    ASSERT_TRUE(t->start(10000));
    EXPECT_TRUE(t->stop(200, false));
    EXPECT_EQ(t->status(), keltsStopping);
    EXPECT_TRUE(t->bodyActive());
    EXPECT_TRUE(t->shouldStop());
    t->release = true;
    ASSERT_TRUE(t->waitForTerminate(10000));
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_EQ(t->exitCode(), 42u);
    EXPECT_TRUE(t->sawStopAfterRelease);
}

TEST(kelThreadTest, ForcedStopAbandonsTheRunWithoutHarmAndAllowsARestart)
{
    kelOwned<StubbornThread> t(kelCreate<StubbornThread>());
    ASSERT_TRUE(t->start(10000));
    EXPECT_TRUE(t->stop(100, true));
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_EQ(t->exitCode(), kelThread::kForcedExitCode);
    EXPECT_FALSE(t->shouldStop());
    EXPECT_TRUE(t->bodyActive());

    // A second body must not run on the object while the first one lives.
    EXPECT_FALSE(t->start(50));
    EXPECT_EQ(t->status(), keltsStopped);
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
    EXPECT_FALSE(t->shouldStop());
    EXPECT_TRUE(t->stop(10000, false));
    EXPECT_EQ(t->exitCode(), 3u);
    EXPECT_EQ(t->runs, 2);
}

TEST(kelThreadTest, StartWaitsForAnAbandonedBodyThatEndsInTime)
{
    kelOwned<StubbornThread> t(kelCreate<StubbornThread>());
    ASSERT_TRUE(t->start(10000));
    EXPECT_TRUE(t->stop(50, true));
    t->stubborn = false;
    std::thread releaser([&] {
        kelSleepMs(50);
        t->release = true;
    });
    EXPECT_TRUE(t->start(10000));
    releaser.join();
    EXPECT_EQ(t->status(), keltsRunning);
    EXPECT_TRUE(waitUntil([&] { return t->runs == 2; }));
    EXPECT_TRUE(t->stop(10000, false));
}

TEST(kelThreadTest, FreeingWaitsUntilAnAbandonedBodyLeavesTheObject)
{
    const size_t slotsBefore = kelThread::slotsInUse();
    auto* t = kelCreate<StubbornThread>();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(kelThread::slotsInUse(), slotsBefore + 1);
    ASSERT_TRUE(t->start(10000));
    std::atomic<bool> freed{false};
    std::thread freer([&] {
        kelFree(t); // forced after one second, then waits for the body
        freed = true;
    });
    // Well past the one-second grace the body is still inside the object.
    kelSleepMs(1500);
    EXPECT_FALSE(freed);
    t->release = true;
    freer.join();
    EXPECT_TRUE(freed);
    // The slot is free once the late procedure has let go of it too.
    EXPECT_TRUE(waitUntil([&] { return kelThread::slotsInUse() == slotsBefore; }));
}

TEST(kelThreadTest, FreeingARunningCooperativeThreadEndsItWithinTheGrace)
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
    EXPECT_LT(ticksSince(mark), 1000u);
    EXPECT_TRUE(endedNormally);
}

TEST(kelThreadTest, BodyMayFreeItsOwnObject)
{
    const size_t slotsBefore = kelThread::slotsInUse();
    std::atomic<bool> started{false}, freed{false};
    auto* t = kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        std::atomic<bool>* done = &freed; // this lambda lives in the object
        while (!started)
            kelSleepMs(1); // start() uses the object until it returns
        kelFree(self);     // nothing of the object may be touched afterwards
        *done = true;
        return 0;
    });
    ASSERT_TRUE(t->start(10000));
    started = true;
    EXPECT_TRUE(waitUntil([&] { return freed && kelThread::slotsInUse() == slotsBefore; }));
}

TEST(kelThreadTest, PauseHoldsTheBodyUntilResume)
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
    ASSERT_TRUE(waitUntil([&] { return loops > 3; }));
    EXPECT_TRUE(t->pause());
    EXPECT_EQ(t->status(), keltsPaused);
    EXPECT_TRUE(t->pause()); // already paused
    kelSleepMs(20);
    const int held = loops;
    kelSleepMs(50);
    EXPECT_LE(loops - held, 1);

    EXPECT_TRUE(t->resume());
    EXPECT_EQ(t->status(), keltsRunning);
    EXPECT_TRUE(waitUntil([&] { return loops > held + 3; }));

    // Stopping a paused thread resumes it and asks it to stop.
    EXPECT_TRUE(t->pause());
    EXPECT_TRUE(t->start(10000)); // start on a paused thread resumes it
    EXPECT_EQ(t->status(), keltsRunning);
    EXPECT_TRUE(t->pause());
    EXPECT_TRUE(t->stop(500, false));
    EXPECT_TRUE(waitUntil([&] { return t->status() == keltsStopped; }));
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

TEST(kelThreadTest, StopWakesABodyWaitingInPollAndOnAnEvent)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    kelEvent never(false, false);
    std::atomic<int> polled{-1};
    std::atomic<bool> eventFired{true};
    kelOwned<TestThread> t(kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        eventFired = self->waitForEvent(never, 60000);
        pollfd p[2] = {{fds[0], POLLIN, 0}, {self->wakeFd(), POLLIN, 0}};
        while (!self->shouldStop()) {
            polled = ::poll(p, 2, -1);
            if (p[1].revents & POLLIN) self->consumeWake();
        }
        return 0;
    }));
    ASSERT_TRUE(t->start(10000));
    EXPECT_TRUE(t->stop(30000, false));
    EXPECT_EQ(t->status(), keltsStopped);
    EXPECT_FALSE(eventFired);
    EXPECT_EQ(polled, -1); // the stop was already pending: the loop never polled
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(kelThreadTest, WakeDescriptorWakesPollOnWakeUpAndStop)
{
    std::atomic<int> wakes{0};
    kelOwned<TestThread> t(kelCreate<TestThread>([&](TestThread* self) -> intptr_t {
        pollfd p{self->wakeFd(), POLLIN, 0};
        while (!self->shouldStop()) {
            if (::poll(&p, 1, 60000) > 0) {
                self->consumeWake();
                ++wakes;
            }
        }
        return 0;
    }));
    ASSERT_TRUE(t->start(10000));
    t->wakeUp();
    ASSERT_TRUE(waitUntil([&] { return wakes >= 1; }));
    const uint64_t mark = tickNow();
    EXPECT_TRUE(t->stop(30000, false));
    EXPECT_LT(ticksSince(mark), 10000u);
    EXPECT_EQ(t->status(), keltsStopped);
}

TEST(kelThreadTest, PriorityMapsToNiceValues)
{
    EXPECT_EQ(kelPriorityToNice(kelThreadPriorityIdle), 19);
    EXPECT_EQ(kelPriorityToNice(kelThreadPriorityLowest), 10);
    EXPECT_EQ(kelPriorityToNice(kelThreadPriorityBelowNormal), 5);
    EXPECT_EQ(kelPriorityToNice(kelThreadPriorityNormal), 0);
    EXPECT_EQ(kelPriorityToNice(kelThreadPriorityAboveNormal), -5);
    EXPECT_EQ(kelPriorityToNice(kelThreadPriorityHighest), -10);
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
    ASSERT_TRUE(waitUntil([&] { return niceInBody != 100; }));
    EXPECT_EQ(niceInBody, std::min(base + 10, 19));

    // Lowering a live thread's priority is always allowed.
    EXPECT_TRUE(t->setPriority(kelThreadPriorityIdle));
    EXPECT_EQ(t->priority(), kelThreadPriorityIdle);
    EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(t->getThreadId())), 19);
    EXPECT_TRUE(t->stop(10000, false));
}

TEST(kelThreadTest, ObjectsBeyondTheSlotTableAreRefused)
{
    std::vector<kelOwned<kelThread>> threads;
    for (size_t i = kelThread::slotsInUse(); i < kelThread::kSlotCount; ++i) {
        threads.emplace_back(kelCreate<kelThread>(false));
        ASSERT_TRUE(threads.back());
    }
    EXPECT_EQ(kelThread::slotsInUse(), kelThread::kSlotCount);
    EXPECT_EQ(kelCreate<kelThread>(false), nullptr);

    kelThread unslotted(false); // made directly: no slot, cannot run
    EXPECT_EQ(unslotted.globalIndex(), kelThread::kNoSlot);
    EXPECT_FALSE(unslotted.start(100));
    EXPECT_TRUE(unslotted.stop(100, false));

    threads.pop_back();
    kelOwned<kelThread> again(kelCreate<kelThread>(false));
    EXPECT_TRUE(again);
}
