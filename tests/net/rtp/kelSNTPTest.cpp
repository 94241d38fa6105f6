#include "net/rtp/kelSNTPPacket.h"
#include "net/rtp/kelSocks_SNTP.h"

#include "core/kelByteOrder.h"
#include "core/kelCreate.h"
#include "core/kelTick.h"
#include "net/sockets/kelSockets.h"
#include "platform/kelPlatformThread.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

namespace {

// 2026-12-09 07:00:00 UTC in ms since 1970: a fixed "now" for hand-driven
// clocks.
constexpr uint64_t kBaseMs = 1796799600000ull;

struct ManualClock
{
    std::shared_ptr<std::atomic<uint64_t>> now = std::make_shared<std::atomic<uint64_t>>(kBaseMs);
    kelSNTPClock fn() const
    {
        auto p = now;
        return [p] { return p->load(); };
    }
};

// An SNTP server of the test's own on 127.0.0.1. `reply` gets each request
// and the client's address and sends what it likes through `sock`.
class FakeServer
{
public:
    using Reply = std::function<void(const uint8_t* request, const sockaddr_in& client, kelUdpSocket& sock)>;

    explicit FakeServer(Reply reply) : f_reply(std::move(reply))
    {
        f_sock.setBindToIP(u"127.0.0.1");
        EXPECT_EQ(f_sock.bindSocketToPort(0), 0);
        sockaddr_in a{};
        EXPECT_EQ(f_sock.getSockAddrBound(a), 0);
        f_port = ntohs(a.sin_port);
        f_thread = std::thread([this] { run(); });
    }
    ~FakeServer()
    {
        f_done = true;
        f_thread.join();
    }
    uint16_t port() const { return f_port; }
    int requests() const { return f_requests.load(); }

private:
    void run()
    {
        uint8_t buf[512];
        while (!f_done) {
            sockaddr_in from{};
            const int n = f_sock.recvfrom(&from, buf, sizeof buf, false, 0, 20);
            if (n != static_cast<int>(kelSNTPPacketSize)) continue;
            ++f_requests;
            f_reply(buf, from, f_sock);
        }
    }

    Reply f_reply;
    kelUdpSocket f_sock;
    uint16_t f_port = 0;
    std::atomic<bool> f_done{false};
    std::atomic<int> f_requests{0};
    std::thread f_thread;
};

// A server answer to `request`, stamped `t2` and `t3` (ms since 1970).
void buildAnswer(uint8_t (&out)[kelSNTPPacketSize], const uint8_t* request, uint64_t t2, uint64_t t3,
                 uint8_t stratum = 2, const char* refId = "GPS ")
{
    std::memset(out, 0, sizeof out);
    out[0] = 0x1C; // LI 0, version 3, mode 4
    out[1] = stratum;
    std::memcpy(out + 12, refId, 4);
    std::memcpy(out + 24, request + 40, 8);
    ntpWrite(out + 32, ntpFromUnixMs(t2));
    ntpWrite(out + 40, ntpFromUnixMs(t3));
}

kelOwned<kelSNTP> clientFor(const FakeServer& server, const kelSNTPClock& clock)
{
    kelOwned<kelSNTP> c = kelMakeOwned<kelSNTP>(clock);
    c->setServerPort(server.port());
    return c;
}

uint32_t fourCC(const char* s)
{
    return kelLoadBE32(reinterpret_cast<const uint8_t*>(s));
}

} // namespace

TEST(kelSNTPPacketTest, RequestBytesAreTheClientHeader)
{
    uint8_t req[kelSNTPPacketSize];
    sntpBuildRequest(req, kelNTP_timestamp{0x01020304u, 0x80000000u});
    const uint8_t golden[kelSNTPPacketSize] = {
        0xDB, 0x00, 0x01, 0xFA, 0, 0, 0, 0, 0x00, 0x01, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0,
        0,    0,    0,    0,    0, 0, 0, 0, 0,    0,    0,    0,    0, 0, 0, 0, 1, 2, 3, 4, 0x80, 0, 0, 0,
    };
    EXPECT_EQ(std::memcmp(req, golden, sizeof golden), 0);
}

TEST(kelSNTPPacketTest, AnswerParsingAndMatching)
{
    uint8_t req[kelSNTPPacketSize];
    const kelNTP_timestamp sent = ntpFromUnixMs(kBaseMs);
    sntpBuildRequest(req, sent);
    uint8_t ans[kelSNTPPacketSize];
    buildAnswer(ans, req, kBaseMs + 5, kBaseMs + 6, 3, "LOCL");

    kelSNTPAnswer a;
    EXPECT_FALSE(sntpParseAnswer(ans, 47, a));
    ASSERT_TRUE(sntpParseAnswer(ans, 48, a));
    EXPECT_EQ(a.mode, 4);
    EXPECT_EQ(a.version, 3);
    EXPECT_EQ(a.stratum, 3);
    EXPECT_EQ(a.refId, fourCC("LOCL"));
    EXPECT_EQ(a.originate, sent);
    EXPECT_EQ(ntpToMs(a.receive) - ntpToMs(a.originate), 5u);
    EXPECT_TRUE(sntpAnswersRequest(a, sent));

    // Another request's answer, and our own request reflected back.
    EXPECT_FALSE(sntpAnswersRequest(a, ntpFromUnixMs(kBaseMs + 1)));
    kelSNTPAnswer echo;
    ASSERT_TRUE(sntpParseAnswer(req, sizeof req, echo));
    echo.originate = sent;
    EXPECT_FALSE(sntpAnswersRequest(echo, sent));
}

TEST(kelSNTPPacketTest, DelayAndOffsetIncludingTheEraRollover)
{
    int64_t delay = 0;
    int64_t offset = 0;
    // Server 1500 ms ahead, 10 ms each way, 2 ms in the server.
    sntpDelayOffset(1000, 2510, 2512, 1022, delay, offset);
    EXPECT_EQ(delay, 20);
    EXPECT_EQ(offset, 1500);
    // Server behind.
    sntpDelayOffset(5000, 4005, 4005, 5010, delay, offset);
    EXPECT_EQ(delay, 10);
    EXPECT_EQ(offset, -1000);
    // The client's stamps just before the seconds field wraps, the server's
    // just after it.
    const uint64_t era = (uint64_t(1) << 32) * 1000;
    sntpDelayOffset(era - 10, 490, 490, 10, delay, offset);
    EXPECT_EQ(delay, 20);
    EXPECT_EQ(offset, 490);
}

TEST(kelSNTPTest, ServerAheadGivesItsOffsetAndStratum)
{
    ManualClock clock;
    // The client's clock moves 20 ms during the exchange: 10 ms each way.
    FakeServer server([&](const uint8_t* req, const sockaddr_in& client, kelUdpSocket& sock) {
        const uint64_t t = clock.now->load() + 10 + 1500;
        uint8_t ans[kelSNTPPacketSize];
        buildAnswer(ans, req, t, t);
        clock.now->fetch_add(20);
        sock.sendto(client, ans, sizeof ans);
    });
    auto c = clientFor(server, clock.fn());
    EXPECT_EQ(c->stratum(), 1u);
    EXPECT_EQ(c->refCode(), fourCC("LOCL"));

    EXPECT_EQ(c->synch(u"127.0.0.1"), 1);
    ASSERT_TRUE(kelTestWaitUntil([&] { return c->runsDone() == 1; }));
    EXPECT_EQ(c->clockOffset(), 1500);
    EXPECT_EQ(c->roundtripDelay(), 20);
    EXPECT_EQ(c->stratum(), 2u);
    EXPECT_EQ(c->refCode(), fourCC("GPS "));

    kelNTP_timestamp raw;
    kelNTP_timestamp fixed;
    ASSERT_TRUE(c->nowNTP(raw, false));
    ASSERT_TRUE(c->nowNTP(fixed, true));
    EXPECT_EQ(ntpToMs(fixed) - ntpToMs(raw), 1500u);
}

TEST(kelSNTPTest, ForgedAndStrayDatagramsAreIgnored)
{
    ManualClock clock;
    kelUdpSocket forger;
    forger.setBindToIP(u"127.0.0.1");
    ASSERT_EQ(forger.bindSocketToPort(0), 0);
    FakeServer server([&](const uint8_t* req, const sockaddr_in& client, kelUdpSocket& sock) {
        const uint64_t now = clock.now->load();
        uint8_t ans[kelSNTPPacketSize];
        // A perfect answer from another port: the connected client never
        // sees it.
        buildAnswer(ans, req, now + 9999, now + 9999);
        forger.sendto(client, ans, sizeof ans);
        // From the server: a short datagram, an answer to another request, a
        // reflected request, then the real answer.
        sock.sendto(client, ans, 40);
        uint8_t other[kelSNTPPacketSize];
        buildAnswer(other, req, now + 7777, now + 7777);
        other[31] ^= 1;
        sock.sendto(client, other, sizeof other);
        sock.sendto(client, req, kelSNTPPacketSize);
        buildAnswer(ans, req, now + 1500, now + 1500);
        sock.sendto(client, ans, sizeof ans);
    });
    auto c = clientFor(server, clock.fn());
    ASSERT_EQ(c->synch(u"127.0.0.1"), 1);
    ASSERT_TRUE(kelTestWaitUntil([&] { return c->runsDone() == 1; }));
    EXPECT_EQ(c->clockOffset(), 1500);
}

TEST(kelSNTPTest, NoAnswerLeavesTheClockUncorrected)
{
    ManualClock clock;
    FakeServer server([](const uint8_t*, const sockaddr_in&, kelUdpSocket&) {});
    auto c = clientFor(server, clock.fn());
    const uint64_t start = tickNow();
    ASSERT_EQ(c->synch(u"127.0.0.1"), 1);
    ASSERT_TRUE(kelTestWaitUntil([&] { return c->runsDone() == 1; }));
    EXPECT_GE(ticksSince(start), kelSNTPAnswerTimeoutMs - 50);
    EXPECT_EQ(server.requests(), 1);
    EXPECT_EQ(c->stratum(), 255u);
    EXPECT_EQ(c->clockOffset(), 0);
    kelNTP_timestamp raw;
    kelNTP_timestamp fixed;
    c->nowNTP(raw, false);
    c->nowNTP(fixed, true);
    EXPECT_EQ(raw, fixed);
}

TEST(kelSNTPTest, KissOfDeathOnTheLastAddressReportsItsCode)
{
    ManualClock clock;
    FakeServer server([&](const uint8_t* req, const sockaddr_in& client, kelUdpSocket& sock) {
        uint8_t ans[kelSNTPPacketSize];
        buildAnswer(ans, req, 0, 0, 0, "RATE");
        sock.sendto(client, ans, sizeof ans);
    });
    auto c = clientFor(server, clock.fn());
    ASSERT_EQ(c->synch(u"127.0.0.1"), 1);
    ASSERT_TRUE(kelTestWaitUntil([&] { return c->runsDone() == 1; }));
    EXPECT_EQ(c->stratum(), 0u);
    EXPECT_EQ(c->refCode(), fourCC("RATE"));
    EXPECT_EQ(c->clockOffset(), 0);
}

TEST(kelSNTPTest, StopEndsAWaitingRunAtOnce)
{
    FakeServer server([](const uint8_t*, const sockaddr_in&, kelUdpSocket&) {});
    auto c = clientFor(server, kelSNTPSystemClock);
    ASSERT_EQ(c->synch(u"127.0.0.1"), 1);
    ASSERT_TRUE(kelTestWaitUntil([&] { return server.requests() == 1; }));
    const uint64_t start = tickNow();
    EXPECT_TRUE(c->stop(3000));
    EXPECT_LT(ticksSince(start), 1000u);
    EXPECT_EQ(c->status(), keltsStopped);
}

TEST(kelSNTPTest, SharedClockResolvesOnItsThreadAndCorrectsTime)
{
    FakeServer server([](const uint8_t* req, const sockaddr_in& client, kelUdpSocket& sock) {
        const uint64_t t = kelSNTPSystemClock() + 1500;
        uint8_t ans[kelSNTPPacketSize];
        buildAnswer(ans, req, t, t);
        sock.sendto(client, ans, sizeof ans);
    });
    freeNTPSharedClock();
    setNTPDefaultServer(u"127.0.0.1", server.port());

    // With the resolver busy (its lock held elsewhere), the first call must
    // still return at once: the name is resolved on the SNTP thread.
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        kelLock lock(socketsSharedWSA(), false, 1000);
        held = lock.held();
        while (!release)
            kelSleepMs(2);
    });
    ASSERT_TRUE(kelTestWaitUntil([&] { return held.load(); }));
    kelNTP_timestamp ntp;
    const uint64_t start = tickNow();
    EXPECT_TRUE(getNTPTime(&ntp));
    EXPECT_LT(ticksSince(start), 1000u);
    release = true;
    holder.join();

    kelSNTP* shared = sharedNTPClock();
    ASSERT_NE(shared, nullptr);
    ASSERT_TRUE(kelTestWaitUntil([&] { return shared->runsDone() == 1; }));
    EXPECT_NEAR(static_cast<double>(shared->clockOffset()), 1500.0, 100.0);
    ASSERT_TRUE(getNTPTime(&ntp));
    const int64_t ahead = static_cast<int64_t>(ntpToMs(ntp)) -
                          static_cast<int64_t>(ntpToMs(ntpFromUnixMs(kelSNTPSystemClock())));
    EXPECT_NEAR(static_cast<double>(ahead), 1500.0, 200.0);
    EXPECT_TRUE(getNTPTime(nullptr));
    freeNTPSharedClock();
    EXPECT_EQ(sharedNTPClock(), nullptr);
}
