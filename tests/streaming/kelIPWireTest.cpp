// The IP transmitter and receiver against a plain UDP socket on 127.0.0.1,
// so the bytes on the wire are seen as they are, and L16 audio end to end.

#include "core/kelTick.h"
#include "platform/kelPlatformThread.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestIPHarness.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

const std::vector<uint8_t> kSamples = {0x01, 0x02, 0x03, 0x04, 0xFF, 0x7F, 0x00, 0x80};

} // namespace

TEST(kelIPWire, TextAndL16LeaveInWireOrderWithoutTouchingTheWrittenBlock)
{
    kelTestPeer peer;
    // A comfort-noise packet makes the peer a destination.
    kelOwned<TkelIPTransmitter> tx = kelTestTransmitterFor(peer);
    ASSERT_TRUE(tx);

    EXPECT_EQ(tx->sendText(u"b"), kelS_OK);
    const std::vector<uint8_t> first = peer.receiveRTP(113, 10000);
    ASSERT_EQ(first.size(), 13u);
    EXPECT_EQ(tx->sendText(u"\U0001F600"), kelS_OK);
    const std::vector<uint8_t> second = peer.receiveRTP(113, 10000);
    ASSERT_EQ(second.size(), 12u + 4u);
    EXPECT_EQ(second[1] & 0x80, 0) << "marker";
    // One packet for the whole character, not one per surrogate.
    EXPECT_EQ(std::vector<uint8_t>(second.begin() + 12, second.end()),
              (std::vector<uint8_t>{0xF0, 0x9F, 0x98, 0x80}));
    const auto seq = [](const std::vector<uint8_t>& p) { return static_cast<uint16_t>(p[2] << 8 | p[3]); };
    const auto ts = [](const std::vector<uint8_t>& p) {
        return static_cast<uint32_t>(p[4]) << 24 | static_cast<uint32_t>(p[5]) << 16 |
               static_cast<uint32_t>(p[6]) << 8 | p[7];
    };
    EXPECT_EQ(static_cast<uint16_t>(seq(second) - seq(first)), 1);
    // Each packet's timestamp has moved on by its own code units: two for
    // the surrogate pair.
    EXPECT_EQ(ts(second) - ts(first), 2u);

    // L16 goes out in network order; the block written stays as it was,
    // since other consumers of the same provider see it too.
    std::vector<uint8_t> block = kSamples;
    EXPECT_EQ(tx->write(block.data(), static_cast<uint32_t>(block.size())), block.size());
    EXPECT_EQ(block, kSamples);
    const std::vector<uint8_t> audio = peer.receiveRTP(98, 10000);
    ASSERT_EQ(audio.size(), 12u + kSamples.size());
    EXPECT_EQ(std::vector<uint8_t>(audio.begin() + 12, audio.end()),
              (std::vector<uint8_t>{0x02, 0x01, 0x04, 0x03, 0x7F, 0xFF, 0x80, 0x00}));
    tx->close();
}

TEST(kelIPWire, ReceiverDropsPingsAndKeepsTextWholeOnBadUtf8)
{
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    kelTestByteSink* sink = kelCreate<kelTestByteSink>();
    ASSERT_NE(sink, nullptr);
    std::mutex guard;
    std::vector<kelString> texts;
    rx->setOnText([&](kelmtlInOutPipe*, const char16_t* text) {
        std::lock_guard lock(guard);
        texts.emplace_back(text);
    });
    ASSERT_TRUE(rx->addConsumer(sink));
    // The peer is the transmitter: the receiver takes RTP from it alone.
    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    rx->setURI(peer.uri());
    ASSERT_TRUE(rx->open());
    ASSERT_TRUE(sink->open());
    const kelString portText = rx->portLocal();
    const int local = std::stoi(std::string(portText.begin(), portText.end()));
    peer.sendTo(static_cast<uint16_t>(local), kelTestRTPPacket(13, 1, {0}));
    // "a", a truncated three-byte sequence, "z".
    peer.sendTo(static_cast<uint16_t>(local), kelTestRTPPacket(113, 2, {'a', 0xE2, 0x82}));
    peer.sendTo(static_cast<uint16_t>(local), kelTestRTPPacket(113, 3, {'z'}));
    ASSERT_TRUE(kelTestWaitUntil(
        [&] {
            std::lock_guard lock(guard);
            return texts.size() >= 2;
        },
        10000));
    {
        std::lock_guard lock(guard);
        EXPECT_EQ(texts, (std::vector<kelString>{u"a\uFFFD", u"z"}));
    }
    EXPECT_TRUE(sink->bytes().empty()) << "a comfort-noise ping reached the consumer";
    rx->close();
    rx->removeConsumer(sink);
    kelFree(sink);
}

TEST(kelIPWire, L16ReachesTheReceiversConsumersByteExact)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    kelTestByteSink* sink = kelCreate<kelTestByteSink>();
    ASSERT_NE(sink, nullptr);
    ASSERT_TRUE(rx->addConsumer(sink));
    tx->setURI(kelTestURI(port));
    rx->setURI(kelTestURI(port));
    ASSERT_TRUE(tx->open());
    ASSERT_TRUE(rx->open());
    ASSERT_TRUE(sink->open());
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->rootDestCount() >= 1; }, 30000));
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(tx->write(kSamples.data(), static_cast<uint32_t>(kSamples.size())), kSamples.size());
        expected.append(kSamples.begin(), kSamples.end());
    }
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink->bytes().size() >= expected.size(); }, 10000));
    EXPECT_EQ(sink->bytes(), expected);
    EXPECT_EQ(rx->encoding(), kelRTPEnc_L16);
    tx->close();
    rx->close();
    rx->removeConsumer(sink);
    kelFree(sink);
}
