#include "net/sockets/kelURICrack.h"

#include "platform/kelLastError.h"
#include "platform/kelUrlSplit.h"

#include <gtest/gtest.h>

namespace {

struct Row
{
    const char16_t* uri;
    const char16_t* scheme;
    const char16_t* host;
    uint16_t port;
    const char16_t* user;
    const char16_t* password;
    const char16_t* path;
    const char16_t* extra;
};

const Row kGood[] = {
    {u"rtp://127.0.0.1:5004", u"rtp", u"127.0.0.1", 5004, u"", u"", u"", u""},
    {u"udp://239.255.0.1:1234/", u"udp", u"239.255.0.1", 1234, u"", u"", u"/", u""},
    {u"tcp://Peer.Example:9000/raw", u"tcp", u"peer.example", 9000, u"", u"", u"/raw", u""},
    {u"RTSP://user:pa:ss@Media.Example.COM:554/live/Stream?x=1#frag", u"rtsp", u"media.example.com", 554,
     u"user", u"pa:ss", u"/live/Stream", u"?x=1#frag"},
    {u"rtspu://10.1.2.3/a", u"rtspu", u"10.1.2.3", 0, u"", u"", u"/a", u""},
    {u"http://radio.example/stream.mp3", u"http", u"radio.example", 80, u"", u"", u"/stream.mp3", u""},
    {u"https://secure.example", u"https", u"secure.example", 443, u"", u"", u"", u""},
    {u"ftp://anon@files.example/pub", u"ftp", u"files.example", 21, u"anon", u"", u"/pub", u""},
    {u"stun://stun.example.org:3478", u"stun", u"stun.example.org", 3478, u"", u"", u"", u""},
    {u"stun://stun.example.org", u"stun", u"stun.example.org", 0, u"", u"", u"", u""},
    {u"rtsp://h:554?only=query", u"rtsp", u"h", 554, u"", u"", u"", u"?only=query"},
    {u"rtp://@:5004", u"rtp", u"", 5004, u"", u"", u"", u""},
    {u"rtp://h:/x", u"rtp", u"h", 0, u"", u"", u"/x", u""},
    {u"udp://[::1]:6000", u"udp", u"[::1]", 6000, u"", u"", u"", u""},
    {u"http://a@b@host.example/", u"http", u"host.example", 80, u"a@b", u"", u"/", u""},
    // Without "//" the URI is read as http.
    {u"Host.Example:5006", u"http", u"host.example", 5006, u"", u"", u"", u""},
    {u"127.0.0.1", u"http", u"127.0.0.1", 80, u"", u"", u"", u""},
};

std::string narrow(const kelString& s)
{
    return std::string(s.begin(), s.end());
}

} // namespace

TEST(kelURICrackTest, SplitsEveryComponent)
{
    for (const Row& r : kGood) {
        kelURICrack c;
        const std::string where = narrow(r.uri);
        ASSERT_TRUE(crackURI(r.uri, c)) << where;
        EXPECT_EQ(c.r_scheme, r.scheme) << where;
        EXPECT_EQ(c.r_hostName, r.host) << where;
        EXPECT_EQ(c.r_port, r.port) << where;
        EXPECT_EQ(c.r_userName, r.user) << where;
        EXPECT_EQ(c.r_password, r.password) << where;
        EXPECT_EQ(c.r_path, r.path) << where;
        EXPECT_EQ(c.r_extraInfo, r.extra) << where;
    }
}

TEST(kelURICrackTest, BadInputFailsWith12005AndLeavesTheRecord)
{
    const char16_t* bad[] = {
        u"",                    // nothing at all
        u"//no.scheme/",        // "//" without a scheme
        u"1rtp://h:5004",       // scheme must start with a letter
        u"r tp://h",            // nor hold spaces
        u"rtp://h:70000",       // port out of range
        u"rtp://h:12ab",        // port not decimal
        u"rtp://h:5004:6",      // two ports
        u"rtp://bad host:5004", // space in the host
        u"rtp://[::1",          // unclosed bracket
        u"rtp://",              // scheme alone
    };
    for (const char16_t* uri : bad) {
        kelURICrack c;
        c.r_hostName = u"kept";
        kelSetLastError(0);
        EXPECT_FALSE(crackURI(uri, c)) << narrow(uri);
        EXPECT_EQ(kelGetLastError(), 12005u);
        EXPECT_EQ(c.r_hostName, u"kept");
    }
}

TEST(kelURICrackTest, DecodesEscapesOnlyWhenAsked)
{
    kelURICrack c;
    ASSERT_TRUE(crackURI(u"http://us%20er:p%40ss@h/a%20b%C3%A9?q=%2F", c));
    EXPECT_EQ(c.r_userName, u"us%20er");
    EXPECT_EQ(c.r_path, u"/a%20b%C3%A9");
    ASSERT_TRUE(crackURI(u"http://us%20er:p%40ss@h/a%20b%C3%A9?q=%2F%zz", c, kelICU_DECODE));
    EXPECT_EQ(c.r_userName, u"us er");
    EXPECT_EQ(c.r_password, u"p@ss");
    EXPECT_EQ(c.r_path, u"/a b\u00e9");
    EXPECT_EQ(c.r_extraInfo, u"?q=/%zz");
}
