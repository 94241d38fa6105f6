// The DNS client thread against scripted servers on loopback: attempts,
// transports and failover by a manual clock, and hostile servers whose
// answers must be dropped.
#include "net/protocols/kelSocks_DNS.h"
#include "tests/support/kelTestScriptedServer.h"
#include "tests/support/kelTestWait.h"

#include "core/kelCreate.h"
#include "platform/kelDnsServers.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <set>

namespace {

using Bytes = kelTestBytes;
using Action = kelTestScriptedServer::Action;
using Request = kelTestScriptedServer::Request;

struct Done
{
    intptr_t id = 0;
    bool failed = false;
    intptr_t status = 0;
    uint64_t atMs = 0;
    std::vector<uint32_t> ips;
    std::vector<std::string> texts;
    bool wasTcp = false;
};

class RecordingClient : public kelDNSClient
{
public:
    using kelDNSClient::kelDNSClient;
    std::vector<Done> done()
    {
        std::lock_guard<std::mutex> g(f_m);
        return f_done;
    }

protected:
    void onQueryComplete(kelDNSQuery* q, bool failed) override
    {
        Done d{q->id(), failed, q->status(), clock().nowMs(), {}, {}, q->queryWasTCP()};
        for (intptr_t i = 0; i < q->count(1); ++i) {
            if (auto* a = q->getRR(i, 1)->data<kelDNSRR_A>()) d.ips.push_back(a->ip());
            if (auto* t = q->getRR(i, 1)->data<kelDNSRR_TXT>()) d.texts.push_back(t->text());
        }
        std::lock_guard<std::mutex> g(f_m);
        f_done.push_back(d);
    }

private:
    std::mutex f_m;
    std::vector<Done> f_done;
};

Bytes aRecord(uint8_t last)
{
    return kelTestDnsRR(1, Bytes{127, 0, 0, last});
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The message of a request, without TCP's length prefix.
Bytes message(const Request& r)
{
    return r.tcp ? Bytes(r.data.begin() + 2, r.data.end()) : r.data;
}

struct Fixture
{
    kelManualClock clock;
    kelOwned<RecordingClient> client;
    Fixture(const std::string& servers, kelDNS_transport tr) : client(kelCreate<RecordingClient>(servers, tr))
    {
        client->setClock(clock);
    }
    bool completed(size_t n = 1) { return client->done().size() >= n; }
};

TEST(kelDNSClientTest, SilentServersAreTriedInTurnEachForTwelveSecondsPerTransport)
{
    struct Case
    {
        kelDNS_transport transport;
        size_t udpEach, tcpEach;
    };
    for (const Case c :
         {Case{kelDnsTR_UDP, 1, 0}, Case{kelDnsTR_UDP_then_TCP, 1, 1}, Case{kelDnsTR_TCP, 0, 1}}) {
        kelTestScriptedServer s1("127.0.0.1", kelTestDnsTcpFrame), s2("127.0.0.1", kelTestDnsTcpFrame),
            s3("127.0.0.1", kelTestDnsTcpFrame);
        ASSERT_TRUE(s1.ok() && s2.ok() && s3.ok());
        Fixture f(s1.entry() + "\r\n" + s2.entry() + "\r\n" + s3.entry(), c.transport);
        const uint64_t start = f.clock.nowMs();
        ASSERT_GT(f.client->query({"_stun._udp.example.test"}, kelDNSType_SRV), -1);
        const size_t attempts = 3 * (c.udpEach + c.tcpEach);
        // Every attempt waits its 12 s: by then all but the last are done.
        for (size_t i = 1; i < attempts; ++i) {
            ASSERT_TRUE(kelTestWaitUntil(
                [&] { return s1.requests().size() + s2.requests().size() + s3.requests().size() >= i; }));
            f.clock.advanceMs(kelDNSAttemptTimeoutMs + 1);
        }
        ASSERT_TRUE(kelTestAdvanceUntil(
            f.clock, [&] { return f.completed(); }, 30000, 1000));
        const Done d = f.client->done().front();
        EXPECT_TRUE(d.failed);
        EXPECT_EQ(d.status, -1);
        EXPECT_GE(d.atMs - start, attempts * kelDNSAttemptTimeoutMs) << c.transport;
        EXPECT_LT(d.atMs - start, (attempts + 1) * kelDNSAttemptTimeoutMs + 3000) << c.transport;
        for (kelTestScriptedServer* s : {&s1, &s2, &s3}) {
            EXPECT_EQ(s->count(false), c.udpEach) << c.transport;
            EXPECT_EQ(s->count(true), c.tcpEach) << c.transport;
        }
        // The same request every time, but for TCP's length prefix.
        const Bytes first = message(s1.requests().front());
        for (kelTestScriptedServer* s : {&s1, &s2, &s3})
            for (const Request& r : s->requests())
                EXPECT_EQ(message(r), first);
    }
}

TEST(kelDNSClientTest, AHostileServerCannotSlipAnAnswerIn)
{
    // The rogue socket sends a right answer from another port of the same
    // address; the server itself sends every kind of wrong answer before
    // the right one, and a second right one after it.
    kelTestScriptedServer server("127.0.0.3");
    ASSERT_TRUE(server.ok());
    const int rogue = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in ra{};
    ra.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.3", &ra.sin_addr);
    ASSERT_EQ(::bind(rogue, reinterpret_cast<sockaddr*>(&ra), sizeof ra), 0);
    server.setScript([&](const Request& r) {
        Action a;
        auto reply = [&](Bytes b, int from = -1) { a.replies.push_back({std::move(b), from, {}}); };
        reply(kelTestDnsAnswer(r.data, {aRecord(66)}), rogue);
        Bytes wrongId = kelTestDnsAnswer(r.data, {aRecord(61)});
        wrongId[1] ^= 1;
        reply(wrongId);
        Bytes notResponse = kelTestDnsAnswer(r.data, {aRecord(62)});
        notResponse[2] &= 0x7F;
        reply(notResponse);
        Bytes otherQuestion = kelTestDnsAnswer(r.data, {aRecord(63)});
        otherQuestion[13] ^= 0x20;
        otherQuestion[14] = 'q';
        reply(otherQuestion);
        Bytes lyingCount = kelTestDnsAnswer(r.data, {aRecord(64)});
        lyingCount[6] = lyingCount[7] = 0xFF;
        reply(lyingCount);
        Bytes forwardPointer =
            kelTestDnsAnswer(r.data, {kelTestDnsRR(1, Bytes{127, 0, 0, 65}, Bytes{0xC0, 0xFF})});
        reply(forwardPointer);
        reply(kelTestDnsAnswer(r.data, {aRecord(7)}));
        reply(kelTestDnsAnswer(r.data, {aRecord(8), aRecord(9)}));
        return a;
    });
    Fixture f(server.entry(), kelDnsTR_UDP);
    ASSERT_GT(f.client->query({"host.example.test"}, kelDNSType_A), -1);
    ASSERT_TRUE(kelTestWaitUntil([&] { return f.completed(); }));
    const Done d = f.client->done().front();
    EXPECT_FALSE(d.failed);
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.ips, std::vector<uint32_t>{0x7F000007u});
    ::close(rogue);
}

TEST(kelDNSClientTest, IdsAreRandomAndUniqueAmongPendingQueries)
{
    kelTestScriptedServer silent;
    Fixture f(silent.entry(), kelDnsTR_UDP);
    std::set<intptr_t> ids;
    intptr_t prev = -1;
    int runs = 0;
    for (int i = 0; i < 200; ++i) {
        const intptr_t id = f.client->query({"n" + std::to_string(i) + ".example.test"}, kelDNSType_A);
        ASSERT_GE(id, 0);
        runs += id == prev + 1 ? 1 : 0;
        prev = id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 200u);
    EXPECT_LT(runs, 5);
    ASSERT_TRUE(kelTestWaitUntil([&] { return silent.count(false) == 200; }));
    std::set<intptr_t> onWire;
    for (const Request& r : silent.requests())
        onWire.insert(r.data[0] * 256 + r.data[1]);
    EXPECT_EQ(onWire, ids);
}

TEST(kelDNSClientTest, TruncatedAnswersMoveToTcpOnlyWhenTheTransportAllowsIt)
{
    for (const kelDNS_transport tr : {kelDnsTR_UDP_then_TCP, kelDnsTR_UDP}) {
        kelTestScriptedServer server("127.0.0.1", kelTestDnsTcpFrame);
        server.setScript([](const Request& r) {
            Action a;
            if (!r.tcp) {
                a.replies.push_back(
                    {kelTestDnsAnswer(r.data, {kelTestDnsRR(16, Bytes{2, 'u', 'd'})}, 0x0200), -1, {}});
                return a;
            }
            const Bytes msg(r.data.begin() + 2, r.data.end());
            const Bytes ans = kelTestDnsAnswer(msg, {kelTestDnsRR(16, Bytes{3, 't', 'c', 'p'})});
            const Bytes whole = Bytes{uint8_t(ans.size() >> 8), uint8_t(ans.size())};
            // The answer in two writes: the client frames by the length.
            a.replies.push_back({whole + Bytes(ans.begin(), ans.begin() + 5), -1, {}});
            a.replies.push_back({Bytes(ans.begin() + 5, ans.end()), -1, {}});
            return a;
        });
        Fixture f(server.entry(), tr);
        ASSERT_GT(f.client->query({"t.example.test"}, kelDNSType_TXT), -1);
        ASSERT_TRUE(kelTestWaitUntil([&] { return f.completed(); }));
        const Done d = f.client->done().front();
        EXPECT_FALSE(d.failed);
        EXPECT_EQ(d.texts, std::vector<std::string>{tr == kelDnsTR_UDP ? "ud" : "tcp"});
        EXPECT_EQ(server.count(true), tr == kelDnsTR_UDP ? 0u : 1u);
    }
}

TEST(kelDNSClientTest, ATcpServerThatClosesOrLiesAboutLengthsFailsOverAtOnce)
{
    kelTestScriptedServer closing("127.0.0.3", kelTestDnsTcpFrame);
    closing.setScript([](const Request&) { return Action{{{Bytes{0xFF, 0xFF, 1, 2, 3}, -1, {}}}, true}; });
    kelTestScriptedServer good("127.0.0.1", kelTestDnsTcpFrame);
    good.setScript([](const Request& r) {
        const Bytes ans = kelTestDnsAnswer(Bytes(r.data.begin() + 2, r.data.end()), {aRecord(9)});
        return Action{{{Bytes{uint8_t(ans.size() >> 8), uint8_t(ans.size())} + ans, -1, {}}}, false};
    });
    Fixture f(closing.entry() + "\r\n" + good.entry(), kelDnsTR_TCP);
    ASSERT_GT(f.client->query({"h.example.test"}, kelDNSType_A), -1);
    // No clock advance: a closed connection is a failed attempt at once.
    ASSERT_TRUE(kelTestWaitUntil([&] { return f.completed(); }));
    const Done d = f.client->done().front();
    EXPECT_FALSE(d.failed);
    EXPECT_EQ(d.ips, std::vector<uint32_t>{0x7F000009u});
    EXPECT_EQ(closing.count(true), 1u);
}

TEST(kelDNSClientTest, AClientIdleFor20SecondsEndsAndTheNextQueryStartsItAgain)
{
    kelTestScriptedServer server;
    server.setScript([](const Request& r) {
        return Action{{{kelTestDnsAnswer(r.data, {aRecord(5)}), -1, {}}}, false};
    });
    Fixture f(server.entry(), kelDnsTR_UDP);
    for (size_t round = 1; round <= 2; ++round) {
        ASSERT_GT(f.client->query({"h.example.test"}, kelDNSType_A), -1);
        ASSERT_TRUE(kelTestWaitUntil([&] { return f.completed(round); })) << round;
        EXPECT_FALSE(f.client->done().back().failed);
        ASSERT_TRUE(kelTestAdvanceUntil(
            f.clock, [&] { return f.client->status() == keltsStopped; }, 60000, 5000))
            << round;
    }
}

TEST(kelDNSClientTest, WithoutServersAQueryFailsWithMinusOne)
{
    // The test programs' guard points the machine's list at an unserved port.
    EXPECT_EQ(kelDNSClient::getDNSServersList(), "127.0.0.1:9\r\n");
    std::string saved;
    ASSERT_TRUE(kelDnsServersOverride(saved));
    kelSetDnsServersOverride("");
    Fixture f("", kelDnsTR_UDP_then_TCP);
    kelSetDnsServersOverride(saved.c_str());
    EXPECT_EQ(f.client->dnsServers(), "");
    ASSERT_GT(f.client->query({"h.example.test"}, kelDNSType_A), -1);
    ASSERT_TRUE(kelTestWaitUntil([&] { return f.completed(); }));
    EXPECT_TRUE(f.client->done().front().failed);
    EXPECT_EQ(f.client->done().front().status, -1);
}

} // namespace
