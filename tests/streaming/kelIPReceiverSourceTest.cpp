// TkelIPReceiver takes RTP only from the transmitter its URI names: a
// stranger's packet, even the first one, neither shows text nor decides
// the format.
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

} // namespace
