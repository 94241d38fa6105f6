// Real-time text between a transmitter and a receiver on 127.0.0.1, the
// receiver finding the transmitter through its hole packets.

#include "core/kelTick.h"
#include "platform/kelPlatformThread.h"
#include "streaming/kelIPStreaming.h"
#include "tests/streaming/kelIPTestNet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

class TextSink
{
public:
    void attach(TkelIPReceiver* rx)
    {
        rx->setOnText([this](kelmtlInOutPipe*, const char16_t* text) {
            std::lock_guard lock(f_guard);
            f_texts.emplace_back(text);
        });
    }
    std::vector<kelString> texts()
    {
        std::lock_guard lock(f_guard);
        return f_texts;
    }

private:
    std::mutex f_guard;
    std::vector<kelString> f_texts;
};

const std::vector<kelString> kTexts = {u"a", u"\b", u"\x7f\n", u"\u0416", u"\U0001F600"};

void sendAllAndExpect(TkelIPTransmitter* tx, TextSink& sink)
{
    // The transmitter knows the receiver once its hole packets arrived.
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->rootDestCount() >= 1; }, 30000));
    const uint32_t before = tx->rootTimestamp();
    for (const kelString& text : kTexts)
        EXPECT_EQ(tx->sendText(text), kelS_OK);
    // 1 + 1 + 2 + 1 + 2 UTF-16 code units.
    EXPECT_EQ(tx->rootTimestamp() - before, 7u);
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink.texts().size() >= kTexts.size(); }, 10000));
    EXPECT_EQ(sink.texts(), kTexts);
}

} // namespace

TEST(kelIPTextLoopback, ReceiverStartedFirstGetsEveryTextInOrder)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    TextSink sink;
    sink.attach(rx.get());
    rx->setURI(kelTestURI(port));
    ASSERT_TRUE(rx->open());
    tx->setURI(kelTestURI(port));
    ASSERT_TRUE(tx->open());
    sendAllAndExpect(tx.get(), sink);
    tx->close();
    rx->close();
}

TEST(kelIPTextLoopback, ReceiverStartedLaterGetsEveryTextAndCloseEndsSending)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    TextSink sink;
    sink.attach(rx.get());
    // Nothing to send with before the first open.
    EXPECT_EQ(tx->sendText(u"a"), kelE_FAIL);
    tx->setURI(kelTestURI(port));
    ASSERT_TRUE(tx->open());
    EXPECT_EQ(tx->sendText(u""), kelE_FAIL);
    rx->setURI(kelTestURI(port));
    ASSERT_TRUE(rx->open());
    sendAllAndExpect(tx.get(), sink);
    tx->close();
    // A closed transmitter says so instead of pretending to send.
    EXPECT_EQ(tx->sendText(u"a"), kelE_FAIL);
    // Reopening on the same port replaces the root and works again.
    ASSERT_TRUE(tx->open());
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->rootDestCount() >= 1; }, 30000));
    EXPECT_EQ(tx->sendText(u"z"), kelS_OK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink.texts().size() > kTexts.size(); }, 10000));
    EXPECT_EQ(sink.texts().back(), u"z");
    rx->close();
}
