// Session ids and the session list of the IP transmitter.

#include "core/kelCreate.h"
#include "streaming/kelIPTransRTSPSession.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

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

TEST(kelIPTransRTSPSessionTest, SessionTakesItsDestinationApart)
{
    kelOwned<kelIPTransRTSPSession> s(
        kelCreate<kelIPTransRTSPSession>(u"1b", u"rtp://127.0.0.1:40002/live", 77u, intptr_t{5}));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->id(), 43);
    EXPECT_EQ(s->destHost(), u"127.0.0.1");
    EXPECT_EQ(s->destPort(), u"40002");
    EXPECT_EQ(s->destPath(), u"/live");
    EXPECT_EQ(s->recSSRC(), 77u);
    EXPECT_EQ(s->ttl(), 5);
    EXPECT_TRUE(s->sameURI(u"RTP://127.0.0.1:40002/LIVE"));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(40002);
    EXPECT_TRUE(s->sameAddr(a));
    a.sin_port = 0; // a member whose port is not known
    EXPECT_TRUE(s->sameAddr(a));
    a.sin_port = htons(40004);
    EXPECT_FALSE(s->sameAddr(a));
}

TEST(kelIPTransRTSPSessionTest, ListFindsSessionsByIdAndSessionlessOnesByURI)
{
    kelIPTransRTSPSessionList list;
    ASSERT_GE(list.add(static_cast<kelObject*>(kelCreate<kelIPTransRTSPSession>(u"", u"rtp://127.0.0.1:40000", 0u, intptr_t{-1}))), 0);
    // A second destination without a session id is listed beside the first.
    ASSERT_GE(list.add(static_cast<kelObject*>(kelCreate<kelIPTransRTSPSession>(u"", u"rtp://127.0.0.1:40010", 0u, intptr_t{-1}))), 0);
    ASSERT_GE(list.add(static_cast<kelObject*>(kelCreate<kelIPTransRTSPSession>(u"S1", u"rtp://127.0.0.1:40020", 0u, intptr_t{-1}))), 0);
    ASSERT_EQ(list.count(), 3);
    ASSERT_TRUE(list.lock(true));
    EXPECT_EQ(list.indexOfSession(session2id(u"s1")), 2);
    EXPECT_EQ(list.indexOfSession(-1), -1) << "id -1 names no session";
    EXPECT_EQ(list.indexOfURI(u"RTP://127.0.0.1:40010"), 1);
    EXPECT_EQ(list.indexOfURI(u""), -1);
    list.unlockRO();
}
