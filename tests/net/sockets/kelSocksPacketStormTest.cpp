// The delivery buffers of a socket thread on their own: reuse by size, the
// record and byte bounds, and the states a record may be queued from.
#include "net/sockets/kelSocksPacketStormThread.h"

#include "core/kelCreate.h"
#include "net/sockets/kelSocks.h"
#include "net/sockets/kelSocksThread.h"

#include <gtest/gtest.h>

#include <vector>

TEST(kelSocksPacketStormTest, BuffersAreReusedBySizeAndBoundedInCountAndBytes)
{
    kelOwned<kelSocksPacketStormThread> storm(kelCreate<kelSocksPacketStormThread>(nullptr));
    EXPECT_EQ(storm->bufferGet(0), nullptr);
    kelSocksStormBuffer* a = storm->bufferGet(100);
    ASSERT_NE(a, nullptr);
    storm->bufferRelease(a);
    EXPECT_EQ(storm->bufferGet(50), a); // a free block that fits is reused
    EXPECT_EQ(storm->bufCount(), 1u);
    std::vector<kelSocksStormBuffer*> held{a};
    for (size_t i = 1; i < kelSocksPacketStormThread::kMaxBuffers; ++i)
        held.push_back(storm->bufferGet(16));
    EXPECT_NE(held.back(), nullptr);
    EXPECT_EQ(storm->bufferGet(16), nullptr); // the 4097th simultaneous request
    // With every record made, a freed one grows within the byte bound only.
    storm->bufferRelease(held[1]);
    EXPECT_EQ(storm->bufferGet(uint32_t(kelSocksPacketStormThread::kMaxBytes)), nullptr);
    kelSocksStormBuffer* grown = storm->bufferGet(1 << 20);
    ASSERT_EQ(grown, held[1]);
    EXPECT_GE(grown->allocated, 1u << 20);
    EXPECT_LE(storm->bytesAllocated(), kelSocksPacketStormThread::kMaxBytes);
}

TEST(kelSocksPacketStormTest, OnlyAFilledRecordWithinItsBlockIsQueued)
{
    kelOwned<kelSocksPacketStormThread> storm(kelCreate<kelSocksPacketStormThread>(nullptr));
    kelSocksStormBuffer* b = storm->bufferGet(8);
    b->length = 9;
    EXPECT_FALSE(storm->newPacket(1, b));
    b->length = 8;
    EXPECT_TRUE(storm->newPacket(1, b));
    EXPECT_EQ(storm->queuedCount(), 1u);
    EXPECT_FALSE(storm->newPacket(1, b)); // already queued
    storm->removeConnection(2);
    EXPECT_EQ(storm->queuedCount(), 1u);
    storm->removeConnection(1);
    EXPECT_EQ(storm->queuedCount(), 0u);
    kelSocksStormBuffer* empty = storm->bufferGet(8);
    EXPECT_EQ(empty, b); // freed by the removal
    empty->length = 0;
    EXPECT_TRUE(storm->newPacket(3, empty)); // an empty packet frees its record
    EXPECT_EQ(storm->queuedCount(), 0u);
}

namespace {

// Reaches the id counter of a thread that never runs.
class IdThread : public kelSocksThread
{
public:
    using kelSocksThread::kelSocksThread;
    uint32_t nextAfter(intptr_t counter)
    {
        f_lastConnectionIdInt = counter;
        return nextConnectionId();
    }
};

} // namespace

TEST(kelSocksPacketStormTest, ConnectionIdsWrapWithin24Bits)
{
    kelOwned<IdThread> t(kelCreate<IdThread>(nullptr, 1u));
    EXPECT_EQ(t->nextAfter(4000), 4001u);
    EXPECT_EQ(t->nextAfter(0xFFFFFE), 0xFFFFFFu);
    EXPECT_EQ(t->nextAfter(0xFFFFFF), 4001u);
}
