// Redundant real-time text on golden payloads: which text each packet adds
// when packets arrive in order, go missing, come twice or come late.

#include "streaming/kelT140Receive.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int kText = 98;
constexpr uint32_t kSSRC = 0x11223344;

// A sender with two generations of redundancy: packet n carries text
// texts[n] as primary and texts[n-1], texts[n-2] as generations.
std::vector<uint8_t> redPacketOf(const std::vector<std::string>& texts, size_t n)
{
    std::vector<kelTestRedBlock> older;
    for (size_t back = 2; back >= 1; --back)
        older.push_back({kText, static_cast<uint16_t>(300 * back), n >= back ? texts[n - back] : ""});
    return kelTestRedPayload(older, kText, texts[n]);
}

struct kelT140Feed
{
    kelT140Receive rx;
    std::string shown;

    // Packets 300 ms apart, as the generations' offsets say.
    bool feed(uint16_t seq, const std::vector<uint8_t>& payload, uint32_t ssrc = kSSRC)
    {
        return feedAt(seq, 300u * seq, payload, ssrc);
    }
    bool feedAt(uint16_t seq, uint32_t timestamp, const std::vector<uint8_t>& payload, uint32_t ssrc = kSSRC)
    {
        return rx.receiveRedundant(ssrc, seq, timestamp, payload.data(), payload.size(), kText, shown);
    }
};

const std::vector<std::string> kTexts = {"He", "ll", "o ", "wo", "rl", "d!", "\xC3\xA9"};

} // namespace

TEST(kelT140ReceiveTest, TheSupportBuilderWritesTheRedundancyLayoutByteForByte)
{
    EXPECT_EQ(kelTestRedPayload({{98, 600, "ab"}, {98, 300, "c"}}, 98, "d"), kelGoldenRedPayload);
    kelT140Feed f;
    ASSERT_TRUE(f.feed(7, kelGoldenRedPayload));
    // The first packet of a stream shows its primary only: the generations
    // are text sent before we listened.
    EXPECT_EQ(f.shown, "d");
}

TEST(kelT140ReceiveTest, LostRepeatedAndLatePacketsShowEachCharacterOnce)
{
    struct Case
    {
        const char* what;
        std::vector<size_t> arrivals; // packet n has sequence number 100 + n
        std::string shown;
    };
    const Case cases[] = {
        {"in order", {0, 1, 2, 3, 4, 5, 6}, "Hello world!\xC3\xA9"},
        // One lost (1), then two in a row (3, 4): all taken from the next.
        {"recovered", {0, 2, 5}, "Hello world!"},
        // 1..3 lost; 4 carries 2 and 3 only.
        {"too wide a gap", {0, 4}, "He\xEF\xBF\xBDo worl"},
        // 1 comes late, its text already taken from 2; 2 comes twice.
        {"late and repeated", {0, 2, 1, 2, 3}, "Hello wo"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kelT140Feed f;
        for (size_t n : c.arrivals)
            ASSERT_TRUE(f.feed(static_cast<uint16_t>(100 + n), redPacketOf(kTexts, n)));
        EXPECT_EQ(f.shown, c.shown);
    }
}

TEST(kelT140ReceiveTest, SequenceNumbersWrapAndANewSourceStartsAfresh)
{
    kelT140Feed f;
    // The timestamps wrap too.
    ASSERT_TRUE(f.feedAt(65534, 0xFFFFFF00u, redPacketOf(kTexts, 0)));
    ASSERT_TRUE(f.feedAt(0, 0xFFFFFF00u + 600, redPacketOf(kTexts, 2))); // 65535 lost
    EXPECT_EQ(f.shown, "Hello ");
    // Another SSRC with a lower sequence number is a new stream, not late.
    ASSERT_TRUE(f.feed(10, redPacketOf(kTexts, 3), kSSRC + 1));
    EXPECT_EQ(f.shown, "Hello wo");
    f.rx.reset();
    ASSERT_TRUE(f.feed(3, redPacketOf(kTexts, 4), kSSRC + 1));
    EXPECT_EQ(f.shown, "Hello worl");
}

TEST(kelT140ReceiveTest, AGenerationOfTextAlreadyShownIsNotShownAgain)
{
    // A sender whose one generation is the packet it sent before, whatever
    // its sequence number: 3 never reached it, so 4 carries 2's text.
    kelT140Feed f;
    ASSERT_TRUE(f.feed(1, kelTestRedPayload({{kText, 300, ""}}, kText, "a")));
    ASSERT_TRUE(f.feed(2, kelTestRedPayload({{kText, 300, "a"}}, kText, "b")));
    ASSERT_TRUE(f.feed(4, kelTestRedPayload({{kText, 600, "b"}}, kText, "d")));
    EXPECT_EQ(f.shown, "abd");
}

TEST(kelT140ReceiveTest, BlocksOfOtherTypesAndEmptyGenerationsCarryNoText)
{
    kelT140Feed f;
    ASSERT_TRUE(f.feed(1, kelTestRedPayload({}, kText, "a")));
    // Seq 2 is lost and its generation is empty; the older one is of
    // another type (audio, say) and is never text.
    ASSERT_TRUE(f.feed(3, kelTestRedPayload({{0, 20, "xx"}, {kText, 0, ""}}, kText, "b")));
    ASSERT_TRUE(f.feed(4, kelTestRedPayload({{kText, 300, "b"}}, 0, "zz")));
    EXPECT_EQ(f.shown, "ab");
}

TEST(kelT140ReceiveTest, MalformedHeadersAreRefusedAndDoNotCountAsReceived)
{
    kelT140Feed f;
    ASSERT_TRUE(f.feed(1, kelTestRedPayload({}, kText, "a")));
    const std::vector<std::vector<uint8_t>> bad = {
        {},                                     // nothing
        {0xE2, 0x00, 0x00},                     // a cut 4-byte header
        {0xE2, 0x00, 0x00, 0x01},               // no primary header
        {0xE2, 0x00, 0x00, 0x05, 0x62, 'a'},    // a block longer than the data
        std::vector<uint8_t>(4 * 17 + 1, 0xE2), // more generations than any sender uses
    };
    for (const std::vector<uint8_t>& payload : bad) {
        SCOPED_TRACE(payload.size());
        EXPECT_FALSE(f.feed(2, payload));
    }
    EXPECT_EQ(f.shown, "a");
    // Seq 2 is still due: its text comes from the next packet.
    ASSERT_TRUE(f.feed(3, kelTestRedPayload({{kText, 300, "b"}}, kText, "c")));
    EXPECT_EQ(f.shown, "abc");
}

TEST(kelT140ReceiveTest, KeepAlivesAreDroppedFromTheShownText)
{
    EXPECT_EQ(kelT140Shown(u"\uFEFFhi\uFEFF there\uFEFF"), u"hi there");
    EXPECT_EQ(kelT140Shown(u"\uFEFF\uFEFF"), u"");
    EXPECT_EQ(kelT140Shown(u"\uFFFE\u2028"), u"\uFFFE\u2028");
}
