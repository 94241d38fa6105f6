// Real-time text between a transmitter and a receiver on 127.0.0.1, the
// receiver finding the transmitter through its hole packets. Both run on a
// manual clock, so the receiver's report times, at which it repeats its
// holes, come when the test moves the clock.

#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestIPHarness.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

class TextSink
{
public:
    void attach(TkelIPReceiver& rx)
    {
        rx.setOnText([this](kelmtlInOutPipe*, const char16_t* text) {
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

void sendAllAndExpect(kelTestIPHarness& h, TextSink& sink)
{
    // The transmitter knows the receiver once its hole packets arrived.
    ASSERT_TRUE(h.advanceUntilTransmitterKnowsReceiver());
    TkelIPTransmitter& tx = h.tx();
    const uint32_t before = tx.rootTimestamp();
    for (const kelString& text : kTexts)
        EXPECT_EQ(tx.sendText(text), kelS_OK);
    // 1 + 1 + 2 + 1 + 2 UTF-16 code units.
    EXPECT_EQ(tx.rootTimestamp() - before, 7u);
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink.texts().size() >= kTexts.size(); }));
    EXPECT_EQ(sink.texts(), kTexts);
}

} // namespace

// The receiver's first holes go to a port nobody has bound yet: the
// transmitter learns of it only from the repeats at a later report time.
TEST(kelIPTextLoopback, ReceiverStartedFirstGetsEveryTextInOrder)
{
    kelTestIPHarness h;
    ASSERT_TRUE(h.ok());
    TextSink sink;
    sink.attach(h.rx());
    ASSERT_TRUE(h.rx().open());
    ASSERT_TRUE(h.tx().open());
    sendAllAndExpect(h, sink);
}

TEST(kelIPTextLoopback, ReceiverStartedLaterGetsEveryTextAndCloseEndsSending)
{
    kelTestIPHarness h;
    ASSERT_TRUE(h.ok());
    TkelIPTransmitter& tx = h.tx();
    TextSink sink;
    sink.attach(h.rx());
    // Nothing to send with before the first open.
    EXPECT_EQ(tx.sendText(u"a"), kelE_FAIL);
    ASSERT_TRUE(tx.open());
    EXPECT_EQ(tx.sendText(u""), kelE_FAIL);
    ASSERT_TRUE(h.rx().open());
    sendAllAndExpect(h, sink);
    tx.close();
    // A closed transmitter says so instead of pretending to send.
    EXPECT_EQ(tx.sendText(u"a"), kelE_FAIL);
    // Reopening on the same port replaces the root, which hears the
    // receiver at its next report time, and works again.
    ASSERT_TRUE(tx.open());
    ASSERT_TRUE(h.advanceUntilTransmitterKnowsReceiver());
    EXPECT_EQ(tx.sendText(u"z"), kelS_OK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink.texts().size() > kTexts.size(); }));
    EXPECT_EQ(sink.texts().back(), u"z");
}

// A transmitter restarted on the same port: its BYE tells the receiver to
// take the next SSRC from there at once, so the first text after the
// restart arrives well within the second of silence that would also do.
TEST(kelIPTextLoopback, TextRightAfterATransmitterRestartArrives)
{
    kelTestIPHarness h;
    ASSERT_TRUE(h.ok());
    TextSink sink;
    sink.attach(h.rx());
    ASSERT_TRUE(h.rx().open());
    ASSERT_TRUE(h.tx().open());
    ASSERT_TRUE(h.advanceUntilTransmitterKnowsReceiver());
    ASSERT_EQ(h.tx().sendText(u"a"), kelS_OK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink.texts().size() == 1; }));
    h.tx().close();
    ASSERT_TRUE(h.tx().open());
    ASSERT_EQ(h.tx().sendText(u"b"), kelS_OK);
    EXPECT_TRUE(kelTestAdvanceUntil(
        h.clock(), [&] { return sink.texts().size() == 2; }, 800, 100))
        << "foreign packets dropped: " << h.rx().rec()->foreignCount();
}
