// Lists shared between threads: every change must land exactly once and
// every owned item must be freed exactly once, with no data race (this file
// is what the thread-sanitizer build exercises).

#include "core/kelList.h"

#include "core/kelTick.h"
#include "kelListTestSupport.h"
#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr int kPerProducer = 400;

} // namespace

TEST(kelListThreadTest, ProducersAndConsumersMoveEveryObjectOnceAndFreeItOnce)
{
    std::atomic<int> frees{0};
    std::atomic<int> removed{0};
    std::atomic<int> producersLeft{2};
    kelObjectList list(true, false);
    list.setTimeout(10000);

    auto produce = [&] {
        for (int i = 0; i < kPerProducer; ++i) {
            auto* obj = new kelTrackedItem(&frees, i);
            while (list.add(obj) < 0)
                kelSleepMs(1); // add waits 300 ms at most: retry
        }
        --producersLeft;
    };
    auto consume = [&] {
        const uint64_t start = tickNow();
        while (removed < 2 * kPerProducer && ticksSince(start) < 60000) {
            if (list.removeFromEdge(true))
                ++removed;
            else
                (void)list.waitForData(10);
        }
    };
    // A reader that looks objects up and touches them under their own lock.
    std::atomic<bool> stop{false};
    std::atomic<int64_t> touched{0};
    auto look = [&] {
        while (!stop) {
            if (kelObject* obj = list.lockObject(0, true, 50)) {
                touched += static_cast<kelTrackedItem*>(obj)->f_id >= 0 ? 1 : 0;
                kelObject::releaseOf(obj);
            }
            (void)list.indexOf(static_cast<void*>(&list));
            kelSleepMs(1);
        }
    };

    std::vector<std::thread> threads;
    threads.emplace_back(produce);
    threads.emplace_back(produce);
    threads.emplace_back(consume);
    threads.emplace_back(consume);
    std::thread looker(look);
    for (auto& t : threads)
        t.join();
    stop = true;
    looker.join();

    EXPECT_EQ(producersLeft, 0);
    EXPECT_EQ(removed, 2 * kPerProducer);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(frees, 2 * kPerProducer);
}

TEST(kelListThreadTest, ConcurrentSortedAddsKeepEveryValueInOrder)
{
    kelList list(uldt_int64, true);
    list.setTimeout(10000);
    constexpr int kThreads = 3;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&list, t] {
            for (int i = 0; i < kPerProducer; ++i) {
                const int64_t value = static_cast<int64_t>(i) * kThreads + t;
                while (list.add(value) < 0)
                    kelSleepMs(1);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(list.count(), kThreads * kPerProducer);
    for (intptr_t i = 0; i < list.count(); ++i)
        ASSERT_EQ(list.getInt(i), i);
}

TEST(kelListThreadTest, LockedObjectsSurviveConcurrentRemoval)
{
    // One thread keeps replacing the only item (freeing the old one) while
    // another locks and reads it: an object handed out by lockObject must
    // stay alive until released (the address-sanitizer build checks this).
    std::atomic<int> frees{0};
    kelObjectList list(true, false);
    list.setTimeout(10000);
    list.add(new kelTrackedItem(&frees, 1));
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop) {
            if (kelObject* obj = list.lockObject(0, false, 100)) {
                if (static_cast<kelTrackedItem*>(obj)->f_id > 0) ++reads;
                kelObject::releaseOf(obj);
            }
            kelSleepMs(1); // a reader that never pauses starves the writer
        }
    });
    int replaced = 0;
    const uint64_t start = tickNow();
    while (replaced < 200 && ticksSince(start) < 30000) {
        // Let the reader get at the current item before replacing it.
        const int seen = reads;
        for (const uint64_t mark = tickNow(); reads == seen && ticksSince(mark) < 1000;)
            kelSleepMs(0);
        if (list.removeByIndex(0, 2)) {
            ++replaced;
            while (list.add(new kelTrackedItem(&frees, replaced + 1)) < 0)
                kelSleepMs(1);
        }
    }
    stop = true;
    reader.join();
    EXPECT_EQ(replaced, 200);
    EXPECT_EQ(frees, 200);
    list.clear();
    EXPECT_EQ(frees, 201);
}
