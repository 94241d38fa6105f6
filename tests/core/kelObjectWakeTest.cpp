// Each kind of sleeper on a kelObject is woken by the change that lets it in,
// while sleepers of another kind may stay asleep: a reader upgrading waits for
// the other readers to leave, a writer for the lock to be free, a reader for
// no writer to hold or claim it. Every wait has a timeout far beyond the
// test's, so a wake that never comes fails the test.

#include "core/kelObject.h"

#include "platform/kelPlatformThread.h"
#include "tests/support/kelTestThreadState.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr intptr_t kLong = 60000;

// A thread that takes a read hold first when `readFirst`, then asks for the
// lock in mode `ro` within `timeout`, holds what it got until told to let go
// and releases it all.
class Asker
{
public:
    enum State { Starting, Asking, In, GaveUp };

    Asker(kelObject& obj, bool ro, intptr_t timeout, bool readFirst = false)
    {
        f_thread = std::thread([this, &obj, ro, timeout, readFirst] {
            f_tid = static_cast<pid_t>(kelCurrentThreadId());
            const bool first = readFirst && obj.acquire(true, 1000);
            f_state = Asking;
            const bool ok = obj.acquire(ro, timeout);
            f_state = ok ? In : GaveUp;
            while (!f_letGo)
                kelSleepMs(1);
            if (ok) obj.releaseRO();
            if (first) obj.releaseRO();
        });
    }
    ~Asker() { letGo(); }
    Asker(const Asker&) = delete;
    Asker& operator=(const Asker&) = delete;

    State state() const { return f_state; }
    // Waits until the thread sleeps in its request (a thread still spinning
    // in it counts as asking but not yet asleep).
    bool asleep() const
    {
        return kelTestWaitUntil([&] { return f_state == Asking && kelTestThreadSleeps(f_tid); });
    }
    bool reaches(State s) const
    {
        return kelTestWaitUntil([&] { return f_state == s; });
    }
    void letGo()
    {
        f_letGo = true;
        if (f_thread.joinable()) f_thread.join();
    }

private:
    std::thread f_thread;
    std::atomic<pid_t> f_tid{0};
    std::atomic<State> f_state{Starting};
    std::atomic<bool> f_letGo{false};
};

} // namespace

TEST(kelObjectWakeTest, EachSleeperIsWokenByTheChangeThatLetsItIn)
{
    struct Case
    {
        const char* name;
        void (*run)();
    };
    const Case cases[] = {
        {"an upgrader gets in when the other reader leaves, ahead of a sleeping writer",
         [] {
             kelObject obj;
             auto other = std::make_unique<Asker>(obj, true, 1000);
             ASSERT_TRUE(other->reaches(Asker::In));
             Asker upgrader(obj, false, kLong, true);
             ASSERT_TRUE(upgrader.asleep());
             Asker writer(obj, false, kLong);
             ASSERT_TRUE(writer.asleep());
             other.reset();
             ASSERT_TRUE(upgrader.reaches(Asker::In));
             EXPECT_EQ(writer.state(), Asker::Asking);
             upgrader.letGo();
             EXPECT_TRUE(writer.reaches(Asker::In));
         }},
        {"readers held off by a claim get in when the claiming writer gives up",
         [] {
             kelObject obj;
             Asker holder(obj, true, 1000);
             ASSERT_TRUE(holder.reaches(Asker::In));
             Asker writer(obj, false, 300);
             ASSERT_TRUE(writer.asleep());
             Asker reader1(obj, true, kLong), reader2(obj, true, kLong);
             ASSERT_TRUE(reader1.asleep());
             ASSERT_TRUE(reader2.asleep());
             ASSERT_TRUE(writer.reaches(Asker::GaveUp));
             EXPECT_TRUE(reader1.reaches(Asker::In));
             EXPECT_TRUE(reader2.reaches(Asker::In));
         }},
        {"a writer's release lets in the sleeping writer, then the sleeping readers",
         [] {
             kelObject obj;
             auto first = std::make_unique<Asker>(obj, false, 1000);
             ASSERT_TRUE(first->reaches(Asker::In));
             Asker writer(obj, false, kLong);
             ASSERT_TRUE(writer.asleep());
             Asker reader(obj, true, kLong);
             ASSERT_TRUE(reader.asleep());
             first.reset();
             ASSERT_TRUE(writer.reaches(Asker::In));
             EXPECT_EQ(reader.state(), Asker::Asking);
             writer.letGo();
             EXPECT_TRUE(reader.reaches(Asker::In));
         }},
        {"the last of several readers lets in a sleeping writer",
         [] {
             kelObject obj;
             auto r1 = std::make_unique<Asker>(obj, true, 1000);
             auto r2 = std::make_unique<Asker>(obj, true, 1000);
             ASSERT_TRUE(r1->reaches(Asker::In));
             ASSERT_TRUE(r2->reaches(Asker::In));
             Asker writer(obj, false, kLong);
             ASSERT_TRUE(writer.asleep());
             r1.reset();
             EXPECT_EQ(writer.state(), Asker::Asking);
             r2.reset();
             EXPECT_TRUE(writer.reaches(Asker::In));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.run();
    }
}
