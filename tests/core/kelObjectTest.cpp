#include "core/kelObject.h"

#include "core/kelCreate.h"
#include "platform/kelPlatformThread.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
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
