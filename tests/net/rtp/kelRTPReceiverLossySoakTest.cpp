// kelRTPReceiver behind a network that drops, swaps and duplicates: every
// packet that got through is delivered once, in the order it was sent, and
// nothing else. KEL_SOAK_SECONDS sets how long the stream runs (a few
// hundred packets when unset).
#include "kelRTPStreamTestSupport.h"

#include "core/kelByteOrder.h"
#include "core/kelClock.h"
#include "core/kelTick.h"
#include "tests/support/kelTestLossyRelay.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

uint64_t soakSeconds()
{
    const char* v = std::getenv("KEL_SOAK_SECONDS");
    return v ? std::strtoull(v, nullptr, 10) : 0;
}

// Runs a stream of `pt` packets through a relay with `plan` into a
// receiver that expects the relay as its transmitter, and checks what the
// receiver delivered against what the relay let through.
void runThroughRelay(uint8_t pt, const kelTestLossyPlan& plan)
{
    const uint16_t rxPort = kelTestFreeRTPPort();
    ASSERT_NE(rxPort, 0);
    kelTestLossyRelay relay(rxPort, plan);
    ASSERT_TRUE(relay.ok());
    kelManualClock clock;
    kelOwned<RecordingReceiver> r(kelCreate<RecordingReceiver>(
        formatInteger(rxPort), kelString(), false, kelString(u"127.0.0.1"), nullptr, true, false, 1));
    ASSERT_TRUE(r);
    // Waiting ends only when the test moves the clock or more than three
    // later packets came: a slow moment of the machine cannot turn a swap
    // into a loss.
    r->setClock(clock);
    r->setExpectedSource(u"127.0.0.1", formatInteger(relay.port()));
    ASSERT_TRUE(r->start(10000));
    ASSERT_TRUE(r->active());

    auto tx = plainSocket();
    ASSERT_TRUE(tx);
    const uint64_t seconds = soakSeconds();
    const uint64_t start = tickNow();
    constexpr uint32_t kBatch = 40;
    uint32_t sent = 0;
    // From near the end of the sequence space, so the stream wraps.
    const uint16_t firstSeq = 65000;
    do {
        for (uint32_t i = 0; i < kBatch; ++i, ++sent) {
            uint8_t index[4];
            kelStoreBE32(index, sent);
            const Bytes p = kelTestRTPPacket(pt, static_cast<uint16_t>(firstSeq + sent),
                                             {index[0], index[1], index[2], index[3]}, sent * 160u, 0x5EED);
            ASSERT_EQ(tx->sendto(kelTestLoopback(relay.port()), p.data(), static_cast<uint32_t>(p.size())),
                      0);
        }
        // The relay has passed the batch on, and the receiver has taken
        // each forwarded datagram one way or another.
        ASSERT_TRUE(waitFor([&] {
            const size_t out = relay.arrived() - relay.dropped() + relay.duplicated();
            return relay.arrived() == sent && relay.forwarded() == out &&
                   r->dataCount() + r->duplicateCount() + r->lateCount() + r->waitingCount() == out;
        })) << "sent "
            << sent << ", relay forwarded " << relay.forwarded() << ", delivered " << r->dataCount();
        // What waits for a dropped packet goes out once its time is up.
        clock.advanceMs(1100);
        ASSERT_TRUE(waitFor([&] { return r->waitingCount() == 0; }));
    } while (seconds > 0 ? ticksSince(start) < seconds * 1000 : sent < 400);

    const auto kept = relay.kept();
    const auto got = r->dataCopy();
    ASSERT_EQ(got.size(), kept.size()) << relay.dropped() << " dropped, " << relay.swapped() << " swapped, "
                                       << relay.duplicated() << " duplicated";
    for (size_t i = 0; i < kept.size(); ++i) {
        const Bytes want(kept[i].begin() + kelRTPHeaderSize, kept[i].end());
        ASSERT_EQ(got[i].payload, want) << "delivery " << i;
    }
    EXPECT_EQ(r->duplicateCount(), relay.duplicated());
    EXPECT_EQ(r->lateCount(), 0u);
    EXPECT_GT(relay.dropped(), 0u);
    EXPECT_GT(relay.swapped(), 0u);
    EXPECT_GT(relay.duplicated(), 0u);
}

TEST(kelRTPReceiverLossySoakTest, AudioThroughDropsSwapsAndDuplicatesArrivesOnceInOrder)
{
    runThroughRelay(kelRTPPayloadPCMU, {0.05, 0.02, 0.05, 31});
}

TEST(kelRTPReceiverLossySoakTest, TextThroughDropsSwapsAndDuplicatesArrivesOnceInOrder)
{
    runThroughRelay(kelRTPPayloadT140, {0.03, 0.03, 0.1, 4103});
}

} // namespace
