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

TEST(kelThreadManagerTest, GroupOperationsCountSuccessesAndOnlyAMasterFrees)
{
    std::atomic<int> freed{0};
    kelOwned<SlowStopper> kept(kelCreate<SlowStopper>(0, &freed));
    {
        kelThreadManager loose(false);
        loose.add(kept.get());
        EXPECT_EQ(loose.start(), 1);
        EXPECT_EQ(loose.pause(), 1);
        EXPECT_EQ(loose.resume(), 1);
        loose.clear(); // stops, frees nothing
        EXPECT_EQ(kept->status(), keltsStopped);
    }
    kelThreadManager m(true);
    m.add(kelCreate<SlowStopper>(0, &freed));
    m.add(kelCreate<SlowStopper>(0, &freed));
    EXPECT_EQ(m.start(), 2);
    m.clear();
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(m.getCount(), 0);
}
