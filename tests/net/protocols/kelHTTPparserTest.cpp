#include "net/protocols/kelHTTPparser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(kelHTTPparserTest, HeaderEndsAtTheEarliestEmptyLine)
{
    kelHTTPparser p;
    const std::string crOnly = "RTSP/1.0 200 OK\rCSeq: 1\r\r";
    p.feed(crOnly);
    ASSERT_TRUE(p.headerComplete());
    EXPECT_EQ(p.headerSize(), crOnly.size());
    EXPECT_EQ(p.getHeaderCount(), 1);
    EXPECT_EQ(p.getHeaderName(0), u"CSeq");
    EXPECT_EQ(p.getHeaderValue(0, true), u"1");

    p.cleanup();
    p.feed(std::string("A\n\nB\r\n\r\n"));
    EXPECT_EQ(p.headerSize(), 3u);
    p.cleanup();
    p.feed(std::string("A\r\nB: c\r\n\r\nbody\n\n"));
    EXPECT_EQ(p.headerSize(), 11u);
    EXPECT_EQ(p.getPayload(), "body\n\n");
}

TEST(kelHTTPparserTest, CompletesOnlyWhenTheLastByteArrives)
{
    const std::string msg = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    kelHTTPparser p;
    for (size_t i = 0; i < msg.size(); ++i) {
        EXPECT_FALSE(p.headerComplete()) << i;
        EXPECT_EQ(p.headerSize(), 0u);
        p.feed(msg.data() + i, 1);
    }
    EXPECT_TRUE(p.headerComplete());
    EXPECT_EQ(p.headerSize(), msg.size());
    EXPECT_EQ(p.dataSize(), msg.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.dataP()), p.dataSize()), msg);
    // Nothing to append changes nothing.
    EXPECT_TRUE(p.feed(nullptr, 5));
    EXPECT_TRUE(p.feed("x", 0));
    EXPECT_TRUE(p.feed("x", -1));
    EXPECT_EQ(p.dataSize(), msg.size());
}

TEST(kelHTTPparserTest, SplitsStartLines)
{
    kelHTTPparser p;
    p.feed(std::string("\r\nDESCRIBE rtsp://127.0.0.1/s RTSP/1.0\r\n\r\n"));
    EXPECT_EQ(p.getReqMethod(), u"DESCRIBE");
    EXPECT_EQ(p.getReqURI(), u"rtsp://127.0.0.1/s");
    EXPECT_EQ(p.getReqProtoVersion(), u"RTSP/1.0");
    EXPECT_EQ(p.getHeaderCount(), 0);

    p.cleanup();
    p.feed(std::string("RTSP/1.0 454 Session Not Found\r\n\r\n"));
    EXPECT_EQ(p.getRespProtoVersion(), u"RTSP/1.0");
    EXPECT_EQ(p.getRespCode(), 454);
    EXPECT_EQ(p.getRespCodeString(), u"Session Not Found");

    p.cleanup();
    p.feed(std::string("ICY 200\r\n\r\n"));
    EXPECT_EQ(p.getRespCode(), 200);
    EXPECT_EQ(p.getRespCodeString(), u"");
    p.cleanup();
    p.feed(std::string("HTTP/1.0 2x0 OK\r\n\r\n"));
    EXPECT_EQ(p.getRespCode(), -1);
}

TEST(kelHTTPparserTest, LooksUpHeadersIgnoringCase)
{
    kelHTTPparser p;
    p.feed(std::string("HTTP/1.1 200 OK\r\nContent-Length: 12\r\nX-Name : caf\xc3\xa9 \r\nNoDelimiter\r\n"
                       "\r\nHidden: body\r\n"));
    EXPECT_EQ(p.getHeaderCount(), 3);
    EXPECT_EQ(p.getHeaderValue(kelString(u"content-length"), false), u" 12");
    EXPECT_EQ(p.getHeaderValue(kelString(u"content-length"), true), u"12");
    EXPECT_EQ(p.getHeaderValue(kelString(u"X-NAME"), true), u"caf\u00e9");
    EXPECT_EQ(p.getHeaderName(1), u"X-Name");
    EXPECT_EQ(p.getHeaderName(2), u"NoDelimiter");
    EXPECT_EQ(p.getHeaderValue(2, true), u"");
    EXPECT_EQ(p.getHeaderName(3), u"");
    EXPECT_EQ(p.getHeaderName(-1), u"");
    EXPECT_EQ(p.getHeaderValue(kelString(u"Hidden"), true), u"");
    EXPECT_EQ(p.getHeaderValue(kelString(u"Missing"), true), u"");
}

TEST(kelHTTPparserTest, BodyFollowsContentLengthOrTheConnection)
{
    kelHTTPparser p;
    p.feed(std::string("RTSP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nab"));
    EXPECT_EQ(p.getPayloadSize(), 2);
    EXPECT_FALSE(p.getPayloadComplete(true, -1));
    p.feed(std::string("cdeXYZ"));
    EXPECT_EQ(p.getPayloadSize(), 5);
    EXPECT_TRUE(p.getPayloadComplete(true, -1));
    EXPECT_EQ(p.getPayload(), "abcde");
    EXPECT_EQ(p.getFullHeader(), "RTSP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n");

    // Without Content-Length the body runs to the end of the connection.
    p.cleanup();
    p.feed(std::string("ICY 200 OK\r\nicy-name: x\r\n\r\nmp3data"));
    EXPECT_EQ(p.getPayloadSize(), 7);
    EXPECT_FALSE(p.getPayloadComplete(true, -1));
    EXPECT_TRUE(p.getPayloadComplete(false, -1));
    EXPECT_TRUE(p.getPayloadComplete(true, 7));
    EXPECT_FALSE(p.getPayloadComplete(true, 8));

    p.cleanup();
    p.feed(std::string("RTSP/1.0 200 OK\r\n"));
    EXPECT_FALSE(p.getPayloadComplete(false, 0));
    EXPECT_EQ(p.getPayload(), "");
    EXPECT_EQ(p.getFullHeader(), "");
}

TEST(kelHTTPparserTest, DropKeepsTheNextPipelinedMessage)
{
    // Two requests without a body arrive in one read: dropping the first
    // must leave the second intact.
    kelHTTPparser p;
    p.feed(std::string(
        "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\nSETUP rtsp://127.0.0.1/s RTSP/1.0\r\nCSeq: 2\r\n\r\n"));
    EXPECT_FALSE(p.dropIfComplete(-1)); // no length and still connected: not complete
    ASSERT_TRUE(p.dropIfComplete(0));
    EXPECT_EQ(p.getReqMethod(), u"SETUP");
    EXPECT_EQ(p.getHeaderValue(kelString(u"CSeq"), true), u"2");
    ASSERT_TRUE(p.dropIfComplete(0));
    EXPECT_EQ(p.dataSize(), 0u);
    EXPECT_FALSE(p.headerComplete());

    // With a body: header plus Content-Length bytes go, the rest stays, even
    // a partial next message.
    p.feed(std::string("RTSP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabcRTSP/1.0 200"));
    ASSERT_TRUE(p.dropIfComplete(0));
    EXPECT_EQ(p.dataSize(), 12u);
    EXPECT_FALSE(p.headerComplete());
    p.feed(std::string(" OK\r\n\r\n"));
    EXPECT_EQ(p.getRespCode(), 200);
}

TEST(kelHTTPparserTest, NegativeContentLengthCountsAsMissing)
{
    kelHTTPparser p;
    p.feed(std::string("RTSP/1.0 200 OK\r\nContent-Length: -5\r\n\r\nabOPTIONS * RTSP/1.0\r\n\r\n"));
    EXPECT_EQ(p.getPayloadSize(), static_cast<intptr_t>(p.dataSize() - p.headerSize()));
    EXPECT_FALSE(p.getPayloadComplete(true, -1));
    ASSERT_TRUE(p.dropIfComplete(2));
    EXPECT_EQ(p.getReqMethod(), u"OPTIONS");

    p.cleanup();
    p.feed(std::string("RTSP/1.0 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nab"));
    EXPECT_EQ(p.getPayloadSize(), 2);
    EXPECT_TRUE(p.getPayloadComplete(false, -1));
}

TEST(kelHTTPparserTest, BoundsHeaderAndBody)
{
    kelHTTPparser p;
    p.setLimits(32, 16);
    EXPECT_TRUE(p.feed(std::string(32, 'a')));
    EXPECT_FALSE(p.overflow());
    EXPECT_FALSE(p.feed(std::string("b"))); // the header does not end within 32 bytes
    EXPECT_TRUE(p.overflow());
    EXPECT_FALSE(p.feed(std::string("\r\n\r\n")));
    EXPECT_EQ(p.dataSize(), 33u);

    p.cleanup();
    EXPECT_FALSE(p.overflow());
    EXPECT_TRUE(p.feed(std::string("ICY 200 OK\r\n\r\n")));
    EXPECT_TRUE(p.feed(std::string(16, 'x')));
    EXPECT_FALSE(p.feed(std::string(40, 'y'))); // only what fits is kept
    EXPECT_TRUE(p.overflow());
    EXPECT_EQ(p.dataSize(), 48u);
    EXPECT_EQ(p.getPayloadSize(), 34);

    // A header that arrives whole but is too long overflows as well.
    p.cleanup();
    EXPECT_FALSE(p.feed("GET / HTTP/1.0\r\nX: " + std::string(20, 'z') + "\r\n\r\n"));
    EXPECT_TRUE(p.overflow());
}

} // namespace
