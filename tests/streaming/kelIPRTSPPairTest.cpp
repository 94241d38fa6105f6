// Our receiver playing our transmitter over rtsp (requests on TCP) and rtspu
// (requests in datagrams), both on 127.0.0.1: the session is set up from the
// DESCRIBE answer alone, the audio arrives as one contiguous run of what was
// written, and closing the receiver tears its session down on the server.
#include "core/kelUtf.h"
#include "tests/support/kelTestL16Feeder.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestRTSPPeer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The receiver hands on samples in host order; the feeder compares network
// order, as the wire carries them.
std::string toNetworkOrder(std::string pcm)
{
    pcm.resize(pcm.size() & ~size_t(1));
    for (size_t i = 0; i < pcm.size(); i += 2)
        std::swap(pcm[i], pcm[i + 1]);
    return pcm;
}

} // namespace

TEST(kelIPRTSPPairTest, OurReceiverPlaysOurTransmitterAndTearsDown)
{
    for (const std::string scheme : {"rtsp", "rtspu"}) {
        SCOPED_TRACE(scheme);
        uint16_t port = 0;
        kelOwned<TkelIPTransmitter> tx = kelTestRTSPTransmitter(port, nullptr, scheme);
        ASSERT_TRUE(tx);
        kelTestL16Feeder feeder(*tx);
        feeder.start();

        kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
        kelOwned<kelTestByteSink> sink(kelCreate<kelTestByteSink>());
        ASSERT_TRUE(rx->addConsumer(sink.get()));
        rx->setURI(utf8ToUtf16(scheme + "://127.0.0.1:" + std::to_string(port) + "/s"));
        ASSERT_TRUE(rx->open()) << utf16ToUtf8(rx->descriptionError());
        ASSERT_TRUE(kelTestWaitUntil([&] { return sink->size() >= 16000 || !rx->active(); }, 20000))
            << utf16ToUtf8(rx->descriptionError());
        ASSERT_GE(sink->size(), 16000u) << utf16ToUtf8(rx->descriptionError());
        EXPECT_EQ(rx->encoding(), 15);
        EXPECT_EQ(rx->samplingRate(), 8000);
        EXPECT_FALSE(rx->rtspSession().empty());
        EXPECT_TRUE(rx->hasServerSSRC());
        EXPECT_EQ(tx->destCount(), 1);

        size_t at = 0;
        EXPECT_TRUE(feeder.contiguous(toNetworkOrder(sink->bytes()), at)) << "not one run of the input";

        rx->close();
        EXPECT_TRUE(kelTestWaitUntil([&] { return tx->destCount() == 0; }, 10000)) << tx->destCount();
        feeder.stop();
        tx->close();
    }
}
