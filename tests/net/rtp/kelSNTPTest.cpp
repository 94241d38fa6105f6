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

// A hand-driven wall clock in microseconds, for the exchange's own stamps.
struct MicroClock
{
    std::shared_ptr<std::atomic<uint64_t>> now = std::make_shared<std::atomic<uint64_t>>(kBaseMs * 1000);
    kelSNTPMicroClock fn() const
    {
        auto p = now;
        return kelSNTPMicroClock{[p] { return p->load(); }};
    }
};

// An answer stamped at full resolution (`t2us`, `t3us`: us since 1970), with
// the given first byte (leap, version, mode).
void buildAnswerUs(uint8_t (&out)[kelSNTPPacketSize], const uint8_t* request, uint64_t t2us, uint64_t t3us,
                   uint8_t stratum = 2, uint8_t first = 0x1C)
{
    buildAnswer(out, request, 0, 0, stratum);
    out[0] = first;
    ntpWrite(out + 32, sntpStampFromUnixUs(t2us));
    ntpWrite(out + 40, sntpStampFromUnixUs(t3us));
}

template <typename Clock> kelOwned<kelSNTP> clientFor(const FakeServer& server, const Clock& clock)
{
    kelOwned<kelSNTP> c = kelMakeOwned<kelSNTP>(clock);
    c->setServerPort(server.port());
    return c;
}

// One run against 127.0.0.1; false when it did not finish.
bool runOnce(kelSNTP& c)
{
    const uint64_t runs = c.runsDone();
    return c.synch(u"127.0.0.1") == 1 && kelTestWaitUntil([&] { return c.runsDone() == runs + 1; });
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

TEST(kelSNTPPacketTest, AnswersWithoutTimeOrFromUnsynchronisedServersAreUnusable)
{
    // A server answer: LI 0, version 4, mode 4, stratum 2, "GPS ", and
    // originate, receive and transmit stamps.
    const uint8_t golden[kelSNTPPacketSize] = {
        0x24, 2,    6, 0xEC, 0, 0, 0, 0, 0,    0,    0, 0, 'G',  'P', 'S', ' ',
        0,    0,    0, 0,    0, 0, 0, 0, 0xEB, 0x5A, 0, 0, 0,    0,   0,   0,
        0xEB, 0x5A, 0, 1,    0, 0, 0, 0, 0xEB, 0x5A, 0, 1, 0x80, 0,   0,   0,
    };
    kelSNTPAnswer a;
    ASSERT_TRUE(sntpParseAnswer(golden, sizeof golden, a));
    EXPECT_EQ(a.version, 4);
    EXPECT_TRUE(sntpAnswersRequest(a, kelNTP_timestamp{0xEB5A0000u, 0}));
    EXPECT_EQ(sntpJudgeAnswer(a), kelsv_usable);

    // A broadcast server's packet (mode 5) is an answer too; a symmetric
    // peer's (1), a client's (3) or a control message (6) is not.
    for (const uint8_t mode : {1, 3, 6, 7}) {
        kelSNTPAnswer other = a;
        other.mode = mode;
        EXPECT_FALSE(sntpAnswersRequest(other, a.originate)) << int(mode);
    }
    kelSNTPAnswer broadcast = a;
    broadcast.mode = kelSNTPModeBroadcast;
    EXPECT_TRUE(sntpAnswersRequest(broadcast, a.originate));

    uint8_t bytes[kelSNTPPacketSize];
    const auto judged = [&](size_t at, uint8_t value) {
        std::memcpy(bytes, golden, sizeof bytes);
        bytes[at] = value;
        kelSNTPAnswer x;
        EXPECT_TRUE(sntpParseAnswer(bytes, sizeof bytes, x));
        return sntpJudgeAnswer(x);
    };
    // Leap indicator 3: the server is not synchronised.
    EXPECT_EQ(judged(0, 0xE4), kelsv_unusable);
    // Leap indicators 1 and 2 only announce a leap second.
    EXPECT_EQ(judged(0, 0x64), kelsv_usable);
    EXPECT_EQ(judged(0, 0xA4), kelsv_usable);
    EXPECT_EQ(judged(1, 0), kelsv_kissOfDeath);
    EXPECT_EQ(judged(1, 15), kelsv_usable);
    EXPECT_EQ(judged(1, 16), kelsv_unusable);
    // No transmit time at all: the stamp would put the clock decades off.
    std::memcpy(bytes, golden, sizeof bytes);
    std::memset(bytes + 40, 0, 8);
    ASSERT_TRUE(sntpParseAnswer(bytes, sizeof bytes, a));
    EXPECT_EQ(sntpJudgeAnswer(a), kelsv_unusable);
    // A fraction alone is a transmit time.
    bytes[47] = 1;
    ASSERT_TRUE(sntpParseAnswer(bytes, sizeof bytes, a));
    EXPECT_EQ(sntpJudgeAnswer(a), kelsv_usable);
}

TEST(kelSNTPPacketTest, FullResolutionStampsAndMicrosecondArithmetic)
{
    // 0.5 ms is 2^31 / 1000 = 2147483.648 units: rounded to the nearest.
    const kelNTP_timestamp half = sntpStampFromUnixUs(kBaseMs * 1000 + 500);
    EXPECT_EQ(half.r_seconds, static_cast<uint32_t>(kBaseMs / 1000 + kelNTPUnixEpochOffset));
    EXPECT_EQ(half.r_fraction, 2147484u);
    EXPECT_EQ(sntpStampFromUnixUs(kBaseMs * 1000 + 999999).r_fraction, 4294963001u);
    // A quarter second is exact in both forms.
    const kelNTP_timestamp ms = sntpStampFromUnixUs((kBaseMs + 250) * 1000);
    EXPECT_EQ(ms, ntpFromUnixMs(kBaseMs + 250));

    int64_t delay = 0;
    int64_t offset = 0;
    const auto at = [](int64_t us) {
        return sntpStampFromUnixUs(static_cast<uint64_t>(int64_t(kBaseMs) * 1000 + us));
    };
    // Client at .999 ms, 5 ms each way, server clock equal to ours: the
    // millisecond arithmetic would have said 1 ms.
    sntpDelayOffsetUs(at(999), at(5999), at(5999), at(10999), delay, offset);
    EXPECT_EQ(delay, 10000);
    EXPECT_EQ(offset, 0);
    // Server 1.2345 s behind, 300 us in the server.
    sntpDelayOffsetUs(at(0), at(-1234500 + 100), at(-1234500 + 400), at(500), delay, offset);
    EXPECT_EQ(delay, 200);
    EXPECT_EQ(offset, -1234500);
    // Across the era rollover: client just before 2036, server just after.
    const kelNTP_timestamp before{0xFFFFFFFFu, 0xF0000000u};
    const kelNTP_timestamp after{0, 0x10000000u};
    sntpDelayOffsetUs(before, after, after, before, delay, offset);
    EXPECT_EQ(delay, 0);
    EXPECT_EQ(offset, 125000);
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

TEST(kelSNTPTest, EveryMeasurementIsStoredZeroIncluded)
{
    // Run by run the server is 1500 ms ahead, then exactly on time with no
    // delay at all, then 700 ms behind.
    struct Step
    {
        int64_t offsetMs;
        uint64_t eachWayMs;
    };
    const Step steps[] = {{1500, 10}, {0, 0}, {-700, 4}};
    std::atomic<int> step{0};
    ManualClock clock;
    FakeServer server([&](const uint8_t* req, const sockaddr_in& client, kelUdpSocket& sock) {
        const Step& s = steps[step.load()];
        const uint64_t t =
            static_cast<uint64_t>(static_cast<int64_t>(clock.now->load() + s.eachWayMs) + s.offsetMs);
        uint8_t ans[kelSNTPPacketSize];
        buildAnswer(ans, req, t, t);
        clock.now->fetch_add(2 * s.eachWayMs);
        sock.sendto(client, ans, sizeof ans);
    });
    auto c = clientFor(server, clock.fn());
    ASSERT_TRUE(runOnce(*c));
    EXPECT_EQ(c->clockOffset(), 1500);
    EXPECT_EQ(c->roundtripDelay(), 20);
    step = 1;
    ASSERT_TRUE(runOnce(*c));
    EXPECT_EQ(c->clockOffset(), 0);
    EXPECT_EQ(c->roundtripDelay(), 0);
    kelNTP_timestamp raw;
    kelNTP_timestamp fixed;
    c->nowNTP(raw, false);
    c->nowNTP(fixed, true);
    EXPECT_EQ(raw, fixed);
    step = 2;
    ASSERT_TRUE(runOnce(*c));
    EXPECT_EQ(c->clockOffset(), -700);
    EXPECT_EQ(c->roundtripDelay(), 8);
    EXPECT_EQ(c->stratum(), 2u);
}

TEST(kelSNTPTest, SubMillisecondStampsDoNotBiasTheOffset)
{
    // Our clock at 0.999 ms past a millisecond; the server's clock is ours,
    // 5 ms away each way. Cut to whole milliseconds, T1 and T4 would lose
    // most of a millisecond each and the offset come out as +1 ms.
    MicroClock clock;
    clock.now->fetch_add(999);
    FakeServer server([&](const uint8_t* req, const sockaddr_in& client, kelUdpSocket& sock) {
        const uint64_t t = clock.now->load() + 5000;
        uint8_t ans[kelSNTPPacketSize];
        buildAnswerUs(ans, req, t, t);
        clock.now->fetch_add(10000);
        sock.sendto(client, ans, sizeof ans);
    });
    auto c = clientFor(server, clock.fn());
    ASSERT_TRUE(runOnce(*c));
    EXPECT_EQ(c->stratum(), 2u);
    EXPECT_EQ(c->clockOffset(), 0);
    EXPECT_EQ(c->roundtripDelay(), 10);

    // The request carries T1 at full resolution.
    uint8_t seen[kelSNTPPacketSize] = {};
    std::atomic<bool> got{false};
    FakeServer recorder([&](const uint8_t* req, const sockaddr_in&, kelUdpSocket&) {
        std::memcpy(seen, req, sizeof seen);
        got = true;
    });
    auto d = clientFor(recorder, clock.fn());
    const uint64_t sentUs = clock.now->load();
    ASSERT_EQ(d->synch(u"127.0.0.1"), 1);
    ASSERT_TRUE(kelTestWaitUntil([&] { return got.load(); }));
    EXPECT_EQ(ntpRead(seen + 40), sntpStampFromUnixUs(sentUs));
    EXPECT_TRUE(d->stop(3000));
}

TEST(kelSNTPTest, UnusableAnswersLeaveTheClockAlone)
{
    // First a good answer (250 ms ahead, 1 ms each way); then answers echoing our stamp
    // but with no transmit time, from an unsynchronised server (leap 3), and
    // of stratum 16.
    std::atomic<int> kind{0};
    MicroClock clock;
    FakeServer server([&](const uint8_t* req, const sockaddr_in& client, kelUdpSocket& sock) {
        const uint64_t t = clock.now->load() + 1000 + 250000;
        uint8_t ans[kelSNTPPacketSize];
        switch (kind.load()) {
        case 0:
            buildAnswerUs(ans, req, t, t);
            clock.now->fetch_add(2000);
            break;
        case 1:
            buildAnswerUs(ans, req, t, t);
            std::memset(ans + 40, 0, 8);
            break;
        case 2:
            buildAnswerUs(ans, req, t + 9000000, t + 9000000, 2, 0xDC);
            break;
        default:
            buildAnswerUs(ans, req, t + 9000000, t + 9000000, 16);
            break;
        }
        sock.sendto(client, ans, sizeof ans);
    });
    auto c = clientFor(server, clock.fn());
    ASSERT_TRUE(runOnce(*c));
    ASSERT_EQ(c->clockOffset(), 250);
    ASSERT_EQ(c->roundtripDelay(), 2);
    for (int k = 1; k <= 3; ++k) {
        kind = k;
        ASSERT_TRUE(runOnce(*c)) << k;
        EXPECT_EQ(c->stratum(), 255u) << k;
        EXPECT_EQ(c->refCode(), 0u) << k;
        EXPECT_EQ(c->clockOffset(), 250) << k;
        EXPECT_EQ(c->roundtripDelay(), 2) << k;
    }
    EXPECT_EQ(server.requests(), 4);
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
