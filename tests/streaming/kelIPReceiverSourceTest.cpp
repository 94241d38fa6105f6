// TkelIPReceiver takes RTP only from the transmitter its URI names: a
// stranger's packet, even the first one, neither shows text nor decides
// the format.
#include "core/kelClock.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestRTPPackets.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

TEST(kelIPReceiverSourceTest, AStrangersFirstPacketDecidesNothingAndItsTextIsNotShown)
{
    kelTestPeer transmitter;
    kelTestPeer stranger;
    ASSERT_TRUE(transmitter.ok() && stranger.ok());
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    kelTestByteSink* sink = kelCreate<kelTestByteSink>();
    ASSERT_TRUE(rx && sink);
    std::mutex guard;
    std::vector<kelString> texts;
    rx->setOnText([&](kelmtlInOutPipe*, const char16_t* text) {
        std::lock_guard lock(guard);
        texts.emplace_back(text);
    });
    ASSERT_TRUE(rx->addConsumer(sink));
    rx->setIsFormatProvider(true);
    rx->setURI(transmitter.uri());
    ASSERT_TRUE(rx->open());
    ASSERT_TRUE(sink->open());
    const kelString portText = rx->portLocal();
    const auto port = static_cast<uint16_t>(std::stoi(std::string(portText.begin(), portText.end())));

    ASSERT_TRUE(stranger.sendTo(port, kelTestRTPPacket(113, 1, {'p', 'w', 'n'}, 0, 0x0BAD0BAD)));
    ASSERT_TRUE(kelTestWaitUntil([&] { return rx->rec()->foreignCount() == 1; }));
    // L16 mono, two samples, from the transmitter.
    ASSERT_TRUE(transmitter.sendTo(port, kelTestRTPPacket(11, 1, {0x01, 0x02, 0x03, 0x04}, 0, 0x600D600D)));
    ASSERT_TRUE(stranger.sendTo(port, kelTestRTPPacket(113, 2, {'!'}, 0, 0x0BAD0BAD)));
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink->size() >= 4 && rx->rec()->foreignCount() == 2; }));
    EXPECT_EQ(rx->encoding(), kelRTPEnc_L16);
    EXPECT_EQ(rx->samplingRate(), 44100);
    EXPECT_EQ(sink->bytes(), std::string("\x02\x01\x04\x03", 4)) << "samples in host order";
    {
        std::lock_guard lock(guard);
        EXPECT_TRUE(texts.empty());
    }
    rx->close();
    rx->removeConsumer(sink);
    kelFree(sink);
}

// Jitter is reported in the stream's timestamp units, also for a dynamic
// type whose clock only the session description gives: packets 20 ms apart
// in timestamps that arrive alternately 10 ms early and late estimate
// about 10 ms, 160 units at 16 kHz.
TEST(kelIPReceiverSourceTest, JitterOfADynamicTypeCountsInItsSdpClock)
{
    kelTestPeer transmitter;
    ASSERT_TRUE(transmitter.ok());
    kelManualClock clock;
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    kelTestByteSink* sink = kelCreate<kelTestByteSink>();
    ASSERT_TRUE(rx && sink);
    rx->setClock(clock);
    ASSERT_TRUE(rx->addConsumer(sink));
    rx->setURI(transmitter.uri());
    rx->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 98\r\na=rtpmap:98 L16/16000/1\r\n");
    ASSERT_TRUE(rx->open());
    ASSERT_TRUE(sink->open());
    const kelString portText = rx->portLocal();
    const auto port = static_cast<uint16_t>(std::stoi(std::string(portText.begin(), portText.end())));
    constexpr uint32_t ssrc = 0x600D0098;
    for (uint16_t i = 0; i < 40; ++i) {
        ASSERT_TRUE(transmitter.sendTo(port, kelTestRTPPacket(98, i, {0, 1, 0, 2}, 320u * i, ssrc)));
        ASSERT_TRUE(kelTestWaitUntil([&] { return sink->size() >= 4u * (i + 1); }));
        clock.advanceMs(i % 2 ? 10 : 30);
    }
    rtp_site_info member;
    ASSERT_TRUE(rx->rec()->rtcp()->session().memberCopy(ssrc, member));
    const uint32_t jitter = member.r_jitter >> 4;
    EXPECT_GT(jitter, 120u);
    EXPECT_LT(jitter, 170u);
    rx->close();
    rx->removeConsumer(sink);
    kelFree(sink);
}

} // namespace
