// Session ids of the IP transmitter: base-32 texts from RTSP clients.

#include "streaming/kelIPTransRTSPSession.h"

#include <gtest/gtest.h>

TEST(kelIPTransRTSPSessionTest, Session2idReadsBase32InEitherCase)
{
    EXPECT_EQ(session2id(u"0"), 0);
    EXPECT_EQ(session2id(u"9"), 9);
    EXPECT_EQ(session2id(u"A"), 10);
    EXPECT_EQ(session2id(u"V"), 31);
    EXPECT_EQ(session2id(u"10"), 32);
    EXPECT_EQ(session2id(u"1A2"), 1 * 1024 + 10 * 32 + 2);
    EXPECT_EQ(session2id(u"1a2"), session2id(u"1A2"));
    EXPECT_EQ(session2id(u"vv"), 31 * 32 + 31);
}

TEST(kelIPTransRTSPSessionTest, Session2idRefusesWhatIsNoBase32Number)
{
    EXPECT_EQ(session2id(u""), -1);
    EXPECT_EQ(session2id(u"W"), -1); // the first letter past V
    EXPECT_EQ(session2id(u"12 "), -1);
    EXPECT_EQ(session2id(u"-1"), -1);
    EXPECT_EQ(session2id(u"12;timeout=60"), -1);
    EXPECT_EQ(session2id(u"\u0661"), -1); // a digit, but not an ASCII one
}

TEST(kelIPTransRTSPSessionTest, Session2idStopsAt63Bits)
{
    // 12 digits are 60 bits; "7" followed by 12 "V"s is 2^63 - 1; one more
    // step leaves the range and must not wrap round to a negative id.
    EXPECT_EQ(session2id(u"VVVVVVVVVVVV"), (int64_t(1) << 60) - 1);
    EXPECT_EQ(session2id(u"7VVVVVVVVVVVV"), INT64_MAX);
    EXPECT_EQ(session2id(u"8000000000000"), -1);
    EXPECT_EQ(session2id(u"VVVVVVVVVVVVVVVV"), -1);
}
