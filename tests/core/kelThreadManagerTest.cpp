#include "core/kelThreadManager.h"

#include "core/kelCreate.h"
#include "core/kelThread.h"
#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

// Needs `windDown` ms to finish once asked to stop.
class SlowStopper : public kelThread
{
public:
    explicit SlowStopper(uint32_t windDown, std::atomic<int>* freed = nullptr)
        : f_windDown(windDown), f_freed(freed)
    {}
    ~SlowStopper() override
    {
        if (f_freed) ++*f_freed;
    }

protected:
    intptr_t execute(uintptr_t) override
    {
        while (!shouldStop())
            sleepThread(1000);
        kelSleepMs(f_windDown);
        return 0;
    }

private:
    uint32_t f_windDown;
    std::atomic<int>* f_freed;
};

} // namespace

TEST(kelThreadManagerTest, StopsAllThreadsInParallel)
{
    kelThreadManager m(true);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(m.add(kelCreate<SlowStopper>(1000)), i);
    EXPECT_EQ(m.add(nullptr), -1);
    EXPECT_EQ(m.start(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(m.get(i)->status(), keltsRunning);

    const uint64_t mark = tickNow();
    EXPECT_TRUE(m.stop(2000));
    const uint64_t took = ticksSince(mark);
    EXPECT_GE(took, 990u);
    EXPECT_LT(took, 2800u); // one wind-down, not three
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(m.get(i)->status(), keltsStopped);
}

TEST(kelThreadManagerTest, PausesResumesAndRemovesWithoutFreeing)
{
    kelThreadManager m(false);
    kelOwned<SlowStopper> a(kelCreate<SlowStopper>(0)), b(kelCreate<SlowStopper>(0));
    m.add(a.get());
    m.add(b.get());
    EXPECT_EQ(m.start(), 2);
    EXPECT_EQ(m.pause(), 2);
    EXPECT_EQ(a->status(), keltsPaused);
    EXPECT_EQ(m.resume(), 2);
    EXPECT_EQ(b->status(), keltsRunning);

    EXPECT_TRUE(m.remove(0));
    EXPECT_FALSE(m.remove(5));
    EXPECT_EQ(m.getCount(), 1);
    EXPECT_EQ(m.get(0), b.get());
    EXPECT_EQ(m.get(1), nullptr);
    m.clear(); // stops b, frees nothing
    EXPECT_EQ(m.getCount(), 0);
    EXPECT_EQ(b->status(), keltsStopped);
    EXPECT_EQ(a->status(), keltsRunning);
}

TEST(kelThreadManagerTest, MasterFreesItsThreadsOnClearAndDestruction)
{
    std::atomic<int> freed{0};
    {
        kelThreadManager m(true);
        m.add(kelCreate<SlowStopper>(0, &freed));
        m.add(kelCreate<SlowStopper>(0, &freed));
        EXPECT_EQ(m.start(), 2);
        m.clear();
        EXPECT_EQ(freed, 2);
        EXPECT_EQ(m.getCount(), 0);
        m.add(kelCreate<SlowStopper>(0, &freed));
        EXPECT_EQ(m.start(), 1);
    }
    EXPECT_EQ(freed, 3);
}
