// One producer and one consumer thread on a memory stream, as a device
// thread and a coder thread use it.

#include "core/kelMemoryStream.h"

#include "tests/support/kelTestPattern.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kTotal = 100ull * 1024 * 1024;

} // namespace

TEST(kelMemoryStreamThreadTest, MovesHundredMegabytesIntactWithoutLosingTheDataEvent)
{
    kelMemoryStream s;
    s.setMaxSize(1 << 20); // keeps the producer at most a megabyte ahead
    std::atomic<bool> producerDone{false};
    std::atomic<uint64_t> refused{0};

    std::thread producer([&] {
        std::mt19937 rng(20);
        std::uniform_int_distribution<int> sizes(1, 9000);
        std::vector<uint8_t> block(9000);
        for (uint64_t sent = 0; sent < kTotal;) {
            const size_t size = size_t(std::min<uint64_t>(uint64_t(sizes(rng)), kTotal - sent));
            kelTestFillPattern(block.data(), size, sent);
            while (s.write(block.data(), intptr_t(size)) == 0) {
                refused.fetch_add(1, std::memory_order_relaxed);
                std::this_thread::yield();
            }
            sent += size;
        }
        producerDone = true;
    });

    std::mt19937 rng(21);
    std::uniform_int_distribution<int> sizes(1, 12000);
    std::vector<uint8_t> buf(12000);
    uint64_t received = 0;
    uint64_t mismatches = 0;
    uint64_t lostEvents = 0;
    while (received < kTotal) {
        const intptr_t got = s.read(buf.data(), sizes(rng), true);
        if (got > 0) {
            if (kelTestPatternMismatch(buf.data(), size_t(got), received) != size_t(got)) ++mismatches;
            received += uint64_t(got);
            continue;
        }
        // The read found the stream empty and reset the event; any write
        // after it signals again, so a wait that times out while data is
        // held means a signal was lost.
        if (!s.dataEvent().waitFor(int64_t(kelTestWaitMs)) && s.getSize() > 0) ++lostEvents;
        if (producerDone && s.getSize() == 0 && received < kTotal) break;
    }
    producer.join();

    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(lostEvents, 0u);
    EXPECT_EQ(s.getSize(), 0);
    EXPECT_LE(s.cachedChunkCount(), 10);
}

TEST(kelMemoryStreamThreadTest, WaitForDataWakesOnAWriteFromAnotherThread)
{
    kelMemoryStream s;
    std::atomic<bool> woke{false};
    std::thread consumer([&] { woke = s.waitForData(int64_t(kelTestWaitMs)); });
    // No sleep: whether the write lands before or during the wait, the
    // consumer must see the data.
    ASSERT_EQ(s.write("x", 1), 1);
    consumer.join();
    EXPECT_TRUE(woke);
}

TEST(kelMemoryStreamThreadTest, EveryKindOfWaiterOnTheDataEventWakesOnAWrite)
{
    // A write wakes the waiters of its data event after it has released the
    // stream's lock; none of the ways to wait on it may miss that wake.
    enum Kind { ByStream, ByEvent, ByAnyOfEvents };
    for (const Kind kind : {ByStream, ByEvent, ByAnyOfEvents}) {
        SCOPED_TRACE(int(kind));
        kelMemoryStream s;
        std::atomic<bool> started{false};
        std::atomic<bool> woke{false};
        std::thread consumer([&] {
            started = true;
            const auto limit = int64_t(kelTestWaitMs);
            kelEvent* events[] = {&s.dataEvent()};
            switch (kind) {
            case ByStream:
                woke = s.waitForData(limit);
                break;
            case ByEvent:
                woke = s.dataEvent().waitFor(limit);
                break;
            case ByAnyOfEvents:
                woke = kelEvent::waitForAny(events, 1, limit) == 0;
                break;
            }
        });
        ASSERT_TRUE(kelTestWaitUntil([&] { return started.load(); }));
        ASSERT_EQ(s.write("x", 1), 1);
        consumer.join();
        EXPECT_TRUE(woke);
        EXPECT_EQ(s.getSize(), 1);
    }
}
