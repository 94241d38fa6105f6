// A transmitter whose format has fewer than 8 bits per sample: it must not
// divide by zero, and it still sends whole bytes, one sample each.

#include "net/rtp/kelRTPHeader.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestIPHarness.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <vector>

TEST(kelIPTransmitterLowBitsTest, FourBitLinearFormatsSendOneSamplePerByte)
{
    kelTestPeer peer;
    // A comfort-noise packet makes the peer a destination.
    kelOwned<TkelIPTransmitter> tx = kelTestTransmitterFor(peer);
    ASSERT_TRUE(tx);

    const std::vector<uint8_t> block = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    struct Case
    {
        intptr_t encoding;
        intptr_t channels;
        std::vector<uint8_t> wire;
        uint32_t samples;
    };
    const Case cases[] = {
        {kelRTPEnc_L8, 1, block, 6},
        {kelRTPEnc_L16, 2, {0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        tx->updateFormat(8000, c.channels, 4, c.encoding, 0);
        ASSERT_EQ(tx->bitsPerSample(), 4);
        const uint32_t before = tx->rootTimestamp();
        EXPECT_EQ(tx->write(block.data(), static_cast<uint32_t>(block.size())), block.size());
        std::vector<uint8_t> packet;
        for (int i = 0; i < 20 && packet.size() != 12 + block.size(); ++i)
            packet = peer.receive(10000);
        ASSERT_EQ(packet.size(), 12 + block.size());
        EXPECT_EQ(std::vector<uint8_t>(packet.begin() + 12, packet.end()), c.wire);
        EXPECT_EQ(tx->rootTimestamp() - before, c.samples);
    }
    tx->close();
}
