// Text typed before any receiver has punched its hole is kept by the
// transmitter and reaches the first receiver, in order and once, on
// 127.0.0.1.

#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestIPHarness.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

// Everything the receiver raised, joined in arrival order.
class JoinedText
{
public:
    void attach(TkelIPReceiver& rx)
    {
        rx.setOnText([this](kelmtlInOutPipe*, const char16_t* text) {
            std::lock_guard lock(f_guard);
            f_text += text;
        });
    }
    kelString text()
    {
        std::lock_guard lock(f_guard);
        return f_text;
    }

private:
    std::mutex f_guard;
    kelString f_text;
};

} // namespace

TEST(kelIPTransmitterBacklog, ReceiverStartedLateGetsWhatWasTypedBeforeOnce)
{
    kelTestIPHarness h;
    ASSERT_TRUE(h.ok());
    JoinedText joined;
    joined.attach(h.rx());
    TkelIPTransmitter& tx = h.tx();
    ASSERT_TRUE(tx.open());
    const uint32_t start = tx.rootTimestamp();
    const kelString before = kelString(u"hello") + kelString{127, 11} + u"\U0001F600\r";
    for (const char16_t c : kelString(u"hello"))
        EXPECT_EQ(tx.sendText(kelString(1, c)), kelS_OK);
    EXPECT_EQ(tx.sendText(kelString{127, 11}), kelS_OK);
    EXPECT_EQ(tx.sendText(u"\U0001F600"), kelS_OK);
    EXPECT_EQ(tx.sendText(u"\r"), kelS_OK);
    EXPECT_EQ(tx.textBacklog(), before.size());
    EXPECT_EQ(tx.rootTimestamp(), start);

    ASSERT_TRUE(h.rx().open());
    ASSERT_TRUE(h.advanceUntilTransmitterKnowsReceiver());
    // The idle tick sends the backlog without waiting for the next key; the
    // timestamp counts every code unit once.
    ASSERT_TRUE(kelTestWaitUntil([&] { return joined.text() == before; }));
    EXPECT_EQ(tx.textBacklog(), 0u);
    EXPECT_EQ(tx.rootTimestamp() - start, before.size());
    EXPECT_EQ(tx.sendText(u"!"), kelS_OK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return joined.text().size() > before.size(); }));
    EXPECT_EQ(joined.text(), before + u"!");
}

TEST(kelIPTransmitterBacklog, KeepsOnlyTheLastTextsWithinTheBoundAndForgetsThemAtClose)
{
    kelTestIPHarness h;
    ASSERT_TRUE(h.ok());
    JoinedText joined;
    joined.attach(h.rx());
    TkelIPTransmitter& tx = h.tx();
    ASSERT_TRUE(tx.open());
    // Forgotten: a close ends what was typed in that session.
    EXPECT_EQ(tx.sendText(u"old session"), kelS_OK);
    tx.close();
    ASSERT_TRUE(tx.open());
    EXPECT_EQ(tx.textBacklog(), 0u);

    kelString typed;
    for (size_t i = 0; i < TkelIPTransmitter::kTextBacklogUnits + 500; ++i) {
        const kelString text(1, static_cast<char16_t>(u'a' + i % 26));
        typed += text;
        EXPECT_EQ(tx.sendText(text), kelS_OK);
    }
    // An editing key at the edge is dropped whole, never half of it.
    EXPECT_EQ(tx.sendText(kelString{127, 10}), kelS_OK);
    typed += kelString{127, 10};
    EXPECT_EQ(tx.textBacklog(), TkelIPTransmitter::kTextBacklogUnits);
    const kelString expected = typed.substr(typed.size() - TkelIPTransmitter::kTextBacklogUnits);

    ASSERT_TRUE(h.rx().open());
    ASSERT_TRUE(h.advanceUntilTransmitterKnowsReceiver());
    ASSERT_TRUE(kelTestWaitUntil([&] { return joined.text().size() >= expected.size(); }));
    EXPECT_EQ(joined.text(), expected);
}
