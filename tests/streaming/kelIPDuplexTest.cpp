// Two duplexes on 127.0.0.1 and 127.0.0.2, each naming the other in its
// URI: text goes both ways on one socket per side, each receiver stays
// active while its duplex is open, and packets from any other address, or
// from the peer's address with another port, never reach onText.
#include "net/rtp/kelRTPReceiver.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestDatagrams.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"

#include "core/kelUtf.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

struct Texts
{
    std::mutex m;
    std::vector<kelString> got;
    kelmtlInOutPipe* sender = nullptr;
    void attach(TkelIPDuplex& d)
    {
        d.setOnText([this](kelmtlInOutPipe* s, const char16_t* text) {
            std::lock_guard<std::mutex> l(m);
            sender = s;
            got.emplace_back(text);
        });
    }
    kelString all()
    {
        std::lock_guard<std::mutex> l(m);
        kelString out;
        for (const auto& t : got)
            out += t;
        return out;
    }
};

// A UDP socket bound to `ip` (port 0), sending one datagram.
bool sendFrom(const char* ip, uint16_t port, uint16_t toPort, const kelTestBytes& data)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    sockaddr_in to = kelTestLoopback(toPort);
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                        static_cast<ssize_t>(data.size());
    if (fd >= 0) ::close(fd);
    return ok;
}

TEST(kelIPDuplexTest, TwoDuplexesTalkBothWaysAndDropForeigners)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    const std::string p = std::to_string(port);
    kelOwned<TkelIPDuplex> a(kelCreate<TkelIPDuplex>());
    kelOwned<TkelIPDuplex> b(kelCreate<TkelIPDuplex>());
    a->setURI(utf8ToUtf16("rtp://127.0.0.2:" + p));
    a->setBind2ip(u"127.0.0.1");
    b->setURI(utf8ToUtf16("rtp://127.0.0.1:" + p));
    b->setBind2ip(u"127.0.0.2");
    Texts atA, atB;
    atA.attach(*a);
    atB.attach(*b);
    ASSERT_TRUE(a->open()) << utf16ToUtf8(a->descriptionError());
    ASSERT_TRUE(b->open()) << utf16ToUtf8(b->descriptionError());
    // The URI is the one static destination; each side's receiver is open.
    EXPECT_EQ(a->destCount(), 1);
    EXPECT_TRUE(a->receiver()->active());

    ASSERT_EQ(a->sendText(u"to b"), kelS_OK);
    ASSERT_EQ(b->sendText(u"to a"), kelS_OK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return atB.all() == u"to b" && atA.all() == u"to a"; }))
        << utf16ToUtf8(atA.all()) << " / " << utf16ToUtf8(atB.all());
    EXPECT_EQ(atA.sender, a.get());

    // A stranger's address, and the peer's address from another port.
    ASSERT_TRUE(sendFrom("127.0.0.3", 0, port, kelTestRTPTextPacket(500, "stranger", 0x5EEDF00D)));
    ASSERT_TRUE(sendFrom("127.0.0.2", 0, port, kelTestRTPTextPacket(501, "other port", 0x5EEDF00E)));
    ASSERT_EQ(b->sendText(u" again"), kelS_OK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return atA.all() == u"to a again"; })) << utf16ToUtf8(atA.all());
    EXPECT_GE(a->receiver()->rec()->foreignCount(), 2u);
    EXPECT_TRUE(a->receiver()->active());
    EXPECT_TRUE(a->active());

    a->close();
    EXPECT_FALSE(a->receiver()->active());
    b->close();
}

} // namespace
