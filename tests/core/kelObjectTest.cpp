#include "core/kelObject.h"

#include "core/kelCreate.h"
#include "platform/kelPlatformThread.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

// Runs `body` on another thread and returns what it returned.
template <class F> auto onOtherThread(F body)
{
    decltype(body()) result{};
    std::thread t([&] { result = body(); });
    t.join();
    return result;
}

// Holds a lock on another thread until told to let go.
class Holder
{
public:
    Holder(kelObject* obj, bool ro) : f_obj(obj)
    {
        f_thread = std::thread([this, ro] {
            f_took = kelObject::acquireOf(f_obj, ro, 1000);
            f_ready = true;
            while (!f_letGo)
                kelSleepMs(1);
            if (f_took) kelObject::releaseOf(f_obj);
        });
        while (!f_ready)
            kelSleepMs(1);
    }
    ~Holder() { letGo(); }
    bool took() const { return f_took; }
    void letGo()
    {
        f_letGo = true;
        if (f_thread.joinable()) f_thread.join();
    }

private:
    kelObject* f_obj;
    std::thread f_thread;
    std::atomic<bool> f_ready{false}, f_letGo{false}, f_took{false};
};

} // namespace

TEST(kelTickTest, TickIsMonotonicAndTicksSinceNeverNegative)
{
    const uint64_t a = tickNow();
    kelSleepMs(5);
    const uint64_t b = tickNow();
    EXPECT_GE(b, a + 4);
    EXPECT_EQ(ticksSince(b + 100000), 0u);
    EXPECT_GE(ticksSince(a), 4u);
}

TEST(kelCounterTest, AcquireCounterSucceedsOnlyWhenFree)
{
    kelLockCounter c{0};
    EXPECT_TRUE(acquireCounter(c, 0));
    EXPECT_FALSE(acquireCounter(c, 0));
    EXPECT_EQ(c.load(), 1); // failed attempts undo themselves
    EXPECT_TRUE(releaseCounter(c));
    EXPECT_TRUE(acquireCounter(c, -5));
    EXPECT_FALSE(releaseCounter(c) && false);
}

TEST(kelCounterTest, HeldCounterTimesOutAfterItsTimeout)
{
    kelLockCounter c{1};
    const uint64_t start = tickNow();
    EXPECT_FALSE(acquireCounter(c, 300)); // sleeps 2 ms between attempts
    const uint64_t took = ticksSince(start);
    EXPECT_GE(took, 300u);
    EXPECT_LT(took, 3000u);
    EXPECT_EQ(c.load(), 1);
}

TEST(kelObjectTest, ReadersShareAndExcludeATimedWriter)
{
    kelObject obj;
    Holder r1(&obj, true), r2(&obj, true);
    ASSERT_TRUE(r1.took());
    ASSERT_TRUE(r2.took());
    EXPECT_EQ(obj.readCount(), 2);

    const uint64_t start = tickNow();
    EXPECT_FALSE(onOtherThread([&] { return obj.acquire(false, 100); }));
    EXPECT_GE(ticksSince(start), 100u);

    r1.letGo();
    r2.letGo();
    EXPECT_TRUE(onOtherThread([&] {
        bool ok = obj.acquire(false, 100);
        if (ok) obj.releaseWO();
        return ok;
    }));
    EXPECT_EQ(obj.readCount(), 0);
    EXPECT_EQ(obj.writeCount(), 0);
}

TEST(kelObjectTest, WriterExcludesReadersAndWriters)
{
    kelObject obj;
    Holder w(&obj, false);
    ASSERT_TRUE(w.took());
    EXPECT_FALSE(onOtherThread([&] { return obj.acquire(true, 50); }));
    EXPECT_FALSE(onOtherThread([&] { return obj.acquire(false, 50); }));
    w.letGo();
    EXPECT_TRUE(onOtherThread([&] {
        bool ok = obj.acquire(true, 50);
        if (ok) obj.releaseRO();
        return ok;
    }));
}

TEST(kelObjectTest, SoleOwnerNestsInEitherDirectionAndReleasesLifo)
{
    kelObject obj;
    ASSERT_TRUE(obj.acquire(false, 100));
    ASSERT_TRUE(obj.acquire(true, 100));
    ASSERT_TRUE(obj.acquire(false, 100));
    EXPECT_EQ(obj.ownerEntries(), 3);
    EXPECT_FALSE(onOtherThread([&] { return obj.acquire(true, 20); }));

    // Any mix of the two releases undoes the newest acquisition first.
    EXPECT_FALSE(obj.releaseRO()); // the nested write
    EXPECT_TRUE(obj.releaseWO());  // the read: read counter back to 0
    EXPECT_FALSE(onOtherThread([&] { return obj.acquire(false, 20); }));
    EXPECT_TRUE(obj.releaseRO()); // the first write
    EXPECT_EQ(obj.ownerEntries(), 0);
    EXPECT_TRUE(onOtherThread([&] {
        bool ok = obj.acquire(false, 100);
        if (ok) obj.releaseWO();
        return ok;
    }));
}

TEST(kelObjectTest, SoleReaderUpgradesToWrite)
{
    kelObject obj;
    ASSERT_TRUE(obj.acquire(true, 100));
    ASSERT_TRUE(obj.acquire(false, 100));
    EXPECT_FALSE(onOtherThread([&] { return obj.acquire(true, 20); }));
    obj.releaseWO();
    EXPECT_TRUE(onOtherThread([&] {
        bool ok = obj.acquire(true, 100);
        if (ok) obj.releaseRO();
        return ok;
    }));
    obj.releaseRO();
    EXPECT_EQ(obj.readCount(), 0);
}

TEST(kelObjectTest, UpgradeFailsWhileAnotherReaderHoldsThenSucceeds)
{
    kelObject obj;
    ASSERT_TRUE(obj.acquire(true, 100));
    {
        Holder other(&obj, true);
        ASSERT_TRUE(other.took());
        const uint64_t start = tickNow();
        EXPECT_FALSE(obj.acquire(false, 50));
        const uint64_t took = ticksSince(start);
        EXPECT_GE(took, 50u);
        EXPECT_LT(took, 2000u);
    }
    ASSERT_TRUE(obj.acquire(false, 50));
    obj.releaseWO();
    obj.releaseRO();
    EXPECT_EQ(obj.ownerEntries(), 0);
}

TEST(kelObjectTest, NegativeTimeoutMakesASingleAttempt)
{
    kelObject obj;
    Holder w(&obj, false);
    const uint64_t start = tickNow();
    EXPECT_FALSE(onOtherThread([&] { return obj.acquire(false, -1000); }));
    EXPECT_FALSE(onOtherThread([&] { return obj.acquire(true, -1000); }));
    EXPECT_LT(ticksSince(start), 500u);
}

TEST(kelStaticLockTest, NotReentrantAndReachedThroughAnAbsentObject)
{
    ASSERT_TRUE(kelObject::acquireOf(nullptr, false, 100));
    EXPECT_EQ(kelObject::staticCount(), 1);
    const uint64_t start = tickNow();
    EXPECT_FALSE(kelObject::acquireStatic(60)); // same thread, no re-entry
    EXPECT_GE(ticksSince(start), 60u);
    EXPECT_TRUE(kelObject::releaseOf(nullptr));
    EXPECT_EQ(kelObject::staticCount(), 0);

    kelObject obj;
    ASSERT_TRUE(obj.acquire(true, 100, true)); // fsn: the static lock
    EXPECT_EQ(obj.readCount(), 0);
    EXPECT_FALSE(onOtherThread([] { return kelObject::acquireStatic(20); }));
    EXPECT_TRUE(kelObject::releseStatic());
}

TEST(kelLockTest, GuardReleasesOnScopeExit)
{
    kelObject obj;
    {
        kelLock lock(&obj, false, 100);
        ASSERT_TRUE(lock);
        EXPECT_EQ(obj.writeCount(), 1);
    }
    EXPECT_EQ(obj.writeCount(), 0);
    EXPECT_EQ(obj.ownerEntries(), 0);
}

// Readers and writers hammer one object; a writer must always be alone and
// every count must return to zero.
TEST(kelObjectTest, StressKeepsWritersExclusive)
{
    kelObject obj;
    std::atomic<int> inside{0}, writers{0};
    std::atomic<bool> broken{false};
    std::atomic<int> done{0};
    int shared = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const bool ro = (i + t) % 3 != 0;
                if (!obj.acquire(ro, 5000)) continue;
                if (!ro) {
                    if (writers.fetch_add(1) != 0 || inside.load() != 0) broken = true;
                    ++shared;
                    // Nested read by the sole owner.
                    if (obj.acquire(true, 100)) obj.releaseRO();
                    writers.fetch_sub(1);
                } else {
                    inside.fetch_add(1);
                    if (writers.load() != 0) broken = true;
                    [[maybe_unused]] volatile int peek = shared;
                    inside.fetch_sub(1);
                }
                obj.releaseRO();
                done.fetch_add(1);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(broken);
    EXPECT_GT(done.load(), 0);
    EXPECT_EQ(obj.readCount(), 0);
    EXPECT_EQ(obj.writeCount(), 0);
    EXPECT_EQ(obj.ownerEntries(), 0);
}

// A waiting writer holds off readers of other threads, but not a holder
// nesting a read (that would wait for a writer that waits for it); the
// release lets the writer in without a poll, and a writer that gives up lets
// the readers in again.
TEST(kelObjectTest, WaitingWriterHoldsOffNewReadersOnly)
{
    kelObject obj;
    ASSERT_TRUE(obj.acquire(true, 100));
    std::atomic<int> writer{0}; // 1 waiting, 2 got in, 3 gave up
    std::atomic<bool> letGo{false};
    std::thread w([&] {
        writer = 1;
        const bool ok = obj.acquire(false, 20000);
        writer = ok ? 2 : 3;
        if (!ok) return;
        while (!letGo)
            kelSleepMs(1);
        obj.releaseWO();
    });
    ASSERT_TRUE(kelTestWaitUntil([&] { return writer == 1; }));
    // The claim is visible once a reader of another thread is refused.
    ASSERT_TRUE(kelTestWaitUntil([&] {
        return !onOtherThread([&] {
            const bool ok = obj.acquire(true, -1);
            if (ok) obj.releaseRO();
            return ok;
        });
    }));
    ASSERT_TRUE(obj.acquire(true, -1)); // nested read of the holder
    obj.releaseRO();
    obj.releaseRO();
    EXPECT_TRUE(kelTestWaitUntil([&] { return writer == 2; }));
    letGo = true;
    w.join();
    EXPECT_EQ(obj.ownerEntries(), 0);

    // A writer that times out drops its claim.
    Holder reader(&obj, true);
    ASSERT_TRUE(reader.took());
    EXPECT_FALSE(onOtherThread([&] { return obj.acquire(false, 30); }));
    EXPECT_TRUE(onOtherThread([&] {
        const bool ok = obj.acquire(true, -1);
        if (ok) obj.releaseRO();
        return ok;
    }));
}

namespace {

struct Hooked : kelObject
{
    static inline std::vector<std::string>* log = nullptr;
    explicit Hooked(int v) : value(v) { log->push_back("ctor"); }
    ~Hooked() override { log->push_back("dtor"); }
    void afterConstruction() override { log->push_back(name() + " after"); }
    void beforeDestruction() override { log->push_back(destroying() ? "before destroying" : "before alive"); }
    virtual std::string name() { return "hooked"; }
    int value;
};

struct Failing : kelObject
{
    void afterConstruction() override { throw 1; }
};

} // namespace

TEST(kelCreateTest, HooksRunAroundConstructionAndDestruction)
{
    std::vector<std::string> log;
    Hooked::log = &log;
    {
        kelOwned<Hooked> h = kelMakeOwned<Hooked>(7);
        ASSERT_TRUE(h);
        EXPECT_EQ(h->value, 7);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"ctor", "hooked after", "before destroying", "dtor"}));
    EXPECT_EQ(kelCreate<Failing>(), nullptr);
    kelFree(nullptr);
}

namespace {

// One step of a thread's lock script on objects 'a' and 'b': 'r' or 'w'
// acquires, '-' releases that object's newest hold. `result` is the
// acquisition's result, or the release's (its counter reached 0); the counts
// are object a's afterwards.
struct LockStep
{
    char obj;
    char op;
    bool result;
    int64_t reads;
    int64_t writes;
};

struct LockScript
{
    const char* name;
    std::vector<LockStep> steps;
};

bool tryOnOtherThread(kelObject& obj, bool ro)
{
    return onOtherThread([&] {
        const bool ok = obj.acquire(ro, -1);
        if (ok) obj.releaseRO();
        return ok;
    });
}

// Re-entry in either mode, upgrade by the sole reader, and last-in first-out
// release per object whatever the call's name.
std::vector<LockScript> nestingScripts()
{
    return {
        {"write read write",
         {{'a', 'w', true, 0, 1},
          {'a', 'r', true, 1, 1},
          {'a', 'w', true, 1, 2},
          {'a', '-', false, 1, 1},
          {'a', '-', true, 0, 1},
          {'a', '-', true, 0, 0}}},
        {"sole reader nests and upgrades",
         {{'a', 'r', true, 1, 0},
          {'a', 'r', true, 2, 0},
          {'a', 'w', true, 2, 1},
          {'a', '-', true, 2, 0},
          {'a', '-', false, 1, 0},
          {'a', '-', true, 0, 0}}},
        {"holds of two objects interleaved",
         {{'a', 'w', true, 0, 1},
          {'b', 'r', true, 0, 1},
          {'a', 'r', true, 1, 1},
          {'b', '-', true, 1, 1},
          {'a', '-', true, 0, 1},
          {'a', '-', true, 0, 0}}},
        {"other object's newer hold stays",
         {{'a', 'r', true, 1, 0},
          {'b', 'w', true, 1, 0},
          {'a', '-', true, 0, 0},
          {'a', 'w', true, 0, 1},
          {'b', '-', true, 0, 1},
          {'a', '-', true, 0, 0}}},
    };
}

} // namespace

// Re-entry in either mode, upgrade by the sole reader, and last-in first-out
// release per object whatever the call's name; after every step another
// thread may read exactly when nobody writes and write exactly when nobody
// holds.
TEST(kelObjectTest, ScriptsOfNestingUpgradeAndReleaseKeepTheCounts)
{
    const std::vector<LockScript> scripts = nestingScripts();
    for (const LockScript& script : scripts) {
        SCOPED_TRACE(script.name);
        kelObject a, b;
        for (size_t i = 0; i < script.steps.size(); ++i) {
            const LockStep& step = script.steps[i];
            SCOPED_TRACE(i);
            kelObject& obj = step.obj == 'a' ? a : b;
            const bool result = step.op == '-' ? obj.releaseWO() : obj.acquire(step.op == 'r', -1);
            EXPECT_EQ(result, step.result);
            EXPECT_EQ(a.readCount(), step.reads);
            EXPECT_EQ(a.writeCount(), step.writes);
            EXPECT_EQ(tryOnOtherThread(a, true), step.writes == 0);
            EXPECT_EQ(tryOnOtherThread(a, false), step.reads == 0 && step.writes == 0);
        }
        EXPECT_EQ(a.ownerEntries(), 0);
        EXPECT_EQ(b.ownerEntries(), 0);
    }

    // Nesting deeper than a thread keeps records inline.
    kelObject deep;
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(deep.acquire(i % 2 == 0, -1));
    EXPECT_EQ(deep.ownerEntries(), 40);
    EXPECT_FALSE(tryOnOtherThread(deep, true));
    for (int i = 39; i >= 0; --i)
        EXPECT_EQ(deep.releaseRO(), i <= 1) << i;
    EXPECT_TRUE(tryOnOtherThread(deep, false));
}

// While a process has never had a second thread, the lock is taken and
// released by plain loads and stores. The same scripts run in a fresh
// process of this program, before anything there starts a thread, and must
// leave the same counts (under a sanitizer that runs threads of its own, the
// run takes the locked path instead).
TEST(kelObjectDeathTest, ScriptsKeepTheCountsInAProcessOfOneThread)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto runAlone = [] {
        int faults = 0;
        for (const LockScript& script : nestingScripts()) {
            kelObject a, b;
            for (const LockStep& step : script.steps) {
                kelObject& obj = step.obj == 'a' ? a : b;
                const bool result = step.op == '-' ? obj.releaseWO() : obj.acquire(step.op == 'r', -1);
                if (result != step.result || a.readCount() != step.reads || a.writeCount() != step.writes) {
                    std::fprintf(stderr, "script \"%s\" went wrong\n", script.name);
                    ++faults;
                }
            }
            if (a.ownerEntries() != 0 || b.ownerEntries() != 0) ++faults;
        }
        // A writer's hold keeps the same thread's timed write attempt from
        // nothing: it nests. An object written and released is free again.
        kelObject c;
        if (!c.acquire(false, 10) || !c.acquire(false, 10) || c.releaseWO() || !c.releaseWO()) ++faults;
        if (c.writeCount() != 0 || c.readCount() != 0) ++faults;
        std::_Exit(faults == 0 ? 0 : 1);
    };
    EXPECT_EXIT(runAlone(), testing::ExitedWithCode(0), "");
}

// A thread that ends holding leaves its holds counted and nothing that a
// later thread could trip on, with its records inline or on the heap.
TEST(kelObjectTest, AThreadEndingWhileHoldingLeavesOnlyItsHolds)
{
    kelObject shallow, deep;
    std::thread([&] { EXPECT_TRUE(shallow.acquire(true, 100)); }).join();
    std::thread([&] {
        for (int i = 0; i < 40; ++i)
            EXPECT_TRUE(deep.acquire(i % 2 == 0, 100));
    }).join();
    EXPECT_EQ(shallow.readCount(), 1);
    EXPECT_EQ(shallow.ownerEntries(), 1);
    ASSERT_TRUE(shallow.acquire(true, -1));   // readers still share it
    EXPECT_FALSE(shallow.acquire(false, 20)); // no upgrade beside the dead reader
    EXPECT_FALSE(shallow.releaseRO());        // the dead reader's hold remains
    EXPECT_EQ(shallow.readCount(), 1);
    EXPECT_FALSE(tryOnOtherThread(deep, true));
    EXPECT_EQ(deep.ownerEntries(), 40);
}

// An object that ends while its own thread holds it takes that thread's
// records along: a new object in the same place starts unheld.
TEST(kelObjectTest, AnObjectMadeWhereAHeldOneEndedStartsUnheld)
{
    alignas(kelObject) unsigned char storage[sizeof(kelObject)];
    auto* first = new (storage) kelObject;
    ASSERT_TRUE(first->acquire(false, -1));
    first->~kelObject();
    auto* second = new (storage) kelObject;
    {
        Holder writer(second, false);
        ASSERT_TRUE(writer.took());
        EXPECT_FALSE(second->acquire(true, -1));
    }
    EXPECT_EQ(second->ownerEntries(), 0);
    second->~kelObject();
}

// Readers, writers nesting reads, try-locks and zero timeouts on one object:
// every acquisition with a long timeout gets in (a lost wake-up or a turn
// nobody takes would leave it asleep until then), writers are alone, and the
// counts return to zero.
TEST(kelObjectTest, MixedLoadAlwaysHandsTheLockOn)
{
    kelObject obj;
    std::atomic<int> readers{0}, writers{0}, refused{0}, started{0};
    std::atomic<bool> broken{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            started.fetch_add(1);
            while (started.load() < 4)
                std::this_thread::yield();
            for (int i = 0; i < 5000; ++i) {
                const int kind = (i * 7 + t) % 5;
                const bool ro = kind != 2 && kind != 4;
                const intptr_t timeout = kind == 3 ? -1 : kind == 4 ? 0 : 20000;
                if (!obj.acquire(ro, timeout)) {
                    if (timeout > 0) refused.fetch_add(1);
                    continue;
                }
                if (ro) {
                    readers.fetch_add(1);
                    if (writers.load() != 0) broken = true;
                    if (!obj.acquire(true, -1))
                        refused.fetch_add(1); // a holder nesting never waits
                    else
                        obj.releaseRO();
                    readers.fetch_sub(1);
                } else {
                    if (writers.fetch_add(1) != 0 || readers.load() != 0) broken = true;
                    if (!obj.acquire(true, -1))
                        refused.fetch_add(1);
                    else
                        obj.releaseRO();
                    std::this_thread::yield(); // long enough for the others to go to sleep
                    writers.fetch_sub(1);
                }
                obj.releaseWO();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_FALSE(broken);
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(obj.readCount(), 0);
    EXPECT_EQ(obj.writeCount(), 0);
    EXPECT_EQ(obj.ownerEntries(), 0);
}
