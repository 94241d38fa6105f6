// The STUN client against scripted servers on loopback: which answers
// complete which request, SRV failover and weights by a manual clock, TCP
// framing and time-outs, and the codes callers see.
#include "net/protocols/kelSocks_STUN.h"
#include "tests/support/kelTestScriptedServer.h"
#include "tests/support/kelTestWait.h"

#include "core/kelEvent.h"
#include "net/sockets/kelSockets.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>

namespace {

using Bytes = kelTestBytes;
using Action = kelTestScriptedServer::Action;
using Request = kelTestScriptedServer::Request;

sockaddr_in addr(const char* ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

kelString port16(uint16_t p)
{
    const std::string s = std::to_string(p);
    return kelString(s.begin(), s.end());
}

uint16_t boundPortOf(kelSocket& s)
{
    sockaddr_in a{};
    return s.getSockAddrBound(a) == 0 ? ntohs(a.sin_port) : 0;
}

// A server that answers every request with `mapped`.
void answerWith(kelTestScriptedServer& s, sockaddr_in mapped)
{
    s.setScript([mapped](const Request& r) {
        if (!r.tcp) return Action{{{kelTestStunSuccess(r.data, mapped), -1, {}}}, false};
        return Action{{{kelTestStunSuccess(r.data, mapped), -1, {}}}, false};
    });
}

// A DNS server that answers every SRV query with `records` (see srv()).
void serveSrv(kelTestScriptedServer& dns, std::vector<Bytes> records)
{
    dns.setScript([records](const Request& r) {
        return Action{{{kelTestDnsAnswer(r.data, records), -1, {}}}, false};
    });
}

Bytes srv(uint16_t priority, uint16_t weight, uint16_t port, const std::string& target,
          const Bytes& name = {0xC0, 0x0C})
{
    return kelTestDnsRR(33, kelTestSrvData(priority, weight, port, target), name);
}

struct Client
{
    kelManualClock clock;
    kelEvent done{true, false};
    kelOwned<mySTUNClient> c;
    Client(const kelString& host, intptr_t proto, bool srv, uint16_t port, const std::string& dns = {})
        : c(kelCreate<mySTUNClient>(host, proto, srv, port16(port), u"127.0.0.1"))
    {
        c->setClock(clock);
        c->setDNSServers(dns);
    }
    bool finished() { return done.isSignaledNow(); }
};

TEST(kelSTUNClientTest, AnAnswerCompletesOnlyTheRequestOnWhoseSocketItCameFromTheServerItWentTo)
{
    kelTestScriptedServer server("127.0.0.3");
    ASSERT_TRUE(server.ok());
    const int rogue = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in ra = addr("127.0.0.3", 0);
    ASSERT_EQ(::bind(rogue, reinterpret_cast<sockaddr*>(&ra), sizeof ra), 0);

    struct Rec : mySTUNClient
    {
        using mySTUNClient::mySTUNClient;
        std::mutex m;
        std::vector<std::pair<kelSocket*, uint32_t>> results;
        void onResponse(kelSTUNClient_req* r, int code, uint32_t ip, uint16_t port, uint16_t bound) override
        {
            mySTUNClient::onResponse(r, code, ip, port, bound);
            std::lock_guard<std::mutex> g(m);
            results.emplace_back(r->socket(), code == 200 ? ip : 0);
        }
    };
    kelManualClock clock;
    // The events outlive the client, whose thread signals them.
    kelEvent e1(true, false), e2(true, false);
    kelOwned<Rec> client(kelCreate<Rec>(u"127.0.0.3", kelSTUNProtoUDP, false, port16(server.port())));
    client->setClock(clock);
    // The RTP and RTCP sockets of a receiver, lent for one request each.
    kelUdpSocket rtp, rtcp;
    for (kelUdpSocket* s : {&rtp, &rtcp}) {
        s->setBindToIP(u"127.0.0.1");
        ASSERT_EQ(s->bindSocketToPort(0), 0);
    }
    ASSERT_GE(client->req(1, nullptr, 0, &rtp, &e1), 0);
    ASSERT_GE(client->req(1, nullptr, 0, &rtcp, &e2), 0);
    ASSERT_TRUE(kelTestWaitUntil([&] { return server.count(false) == 2; }));
    Bytes reqRtp, reqRtcp;
    for (const Request& r : server.requests())
        (ntohs(r.from.sin_port) == boundPortOf(rtp) ? reqRtp : reqRtcp) = r.data;
    ASSERT_FALSE(reqRtp.empty() || reqRtcp.empty());
    // Issued in the same instant, yet different transactions.
    EXPECT_NE(Bytes(reqRtp.begin() + 8, reqRtp.end()), Bytes(reqRtcp.begin() + 8, reqRtcp.end()));

    const sockaddr_in toRtp = addr("127.0.0.1", boundPortOf(rtp));
    const sockaddr_in toRtcp = addr("127.0.0.1", boundPortOf(rtcp));
    auto send = [](int fd, const Bytes& b, const sockaddr_in& to) {
        ::sendto(fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    // From another port of the server's address: the right transaction.
    send(rogue, kelTestStunSuccess(reqRtp, addr("127.0.0.66", 1)), toRtp);
    // From the server, the RTCP request's answer on the RTP socket.
    send(server.udpFd(), kelTestStunSuccess(reqRtcp, addr("127.0.0.67", 2)), toRtp);
    send(server.udpFd(), kelTestStunSuccess(reqRtp, addr("127.0.0.10", 5000)), toRtp);
    send(server.udpFd(), kelTestStunSuccess(reqRtcp, addr("127.0.0.11", 5001)), toRtcp);
    ASSERT_TRUE(kelTestWaitUntil([&] { return e1.isSignaledNow() && e2.isSignaledNow(); }));
    std::lock_guard<std::mutex> g(client->m);
    ASSERT_EQ(client->results.size(), 2u);
    for (const auto& [sock, ip] : client->results)
        EXPECT_EQ(ip, sock == &rtp ? 0x7F00000Au : 0x7F00000Bu);
    ::close(rogue);
}

TEST(kelSTUNClientTest, CallersSee200OnlyForAMappedAddressAndTheErrorCodeOtherwise)
{
    kelTestScriptedServer server;
    std::atomic<int> mode{0};
    server.setScript([&](const Request& r) {
        const Bytes errorCode{0x00, 0x09, 0x00, 0x04, 0, 0, 4, 38}; // 438 Stale Nonce
        switch (mode.load()) {
        case 0:
            return Action{{{kelTestStunSuccess(r.data, addr("127.0.0.9", 4242)), -1, {}}}, false};
        case 1:
            return Action{{{kelTestStunAnswer(r.data, 0x0101, {}), -1, {}}}, false};
        case 2:
            return Action{{{kelTestStunAnswer(r.data, 0x0111, {}), -1, {}}}, false};
        default:
            return Action{{{kelTestStunAnswer(r.data, 0x0111, errorCode), -1, {}}}, false};
        }
    });
    const int expected[] = {200, 400, 400, 438};
    for (int m = 0; m < 4; ++m) {
        mode = m;
        Client c(u"127.0.0.1", kelSTUNProtoUDP, false, server.port());
        ASSERT_GE(c.c->req(1, nullptr, 0, nullptr, &c.done), 0);
        ASSERT_TRUE(kelTestWaitUntil([&] { return c.finished(); })) << m;
        EXPECT_EQ(c.c->error(), expected[m]) << m;
        EXPECT_EQ(c.c->ip4(), m == 0 ? 0x7F000009u : 0u) << m;
    }
    // The blocking form: the mapped address and the port it was seen from.
    mode = 0;
    uint32_t ip = 0;
    uint16_t port = 0, bound = 0;
    ASSERT_TRUE(getSTUNMappedAddress(u"127.0.0.1", ip, port, bound, port16(server.port()), kelSTUNProtoUDP,
                                     10000, false, nullptr, u"127.0.0.1"));
    EXPECT_EQ(ip, 0x7F000009u);
    EXPECT_EQ(port, 4242);
    EXPECT_EQ(bound, ntohs(server.requests().back().from.sin_port));
    mode = 2;
    EXPECT_FALSE(
        getSTUNMappedAddress(u"127.0.0.1", ip, port, bound, port16(server.port()), kelSTUNProtoUDP, 10000));
}

TEST(kelSTUNClientTest, SrvServersAreTriedByPriorityFiveSendsEachThenTheDefault)
{
    kelTestScriptedServer dns, silent10, silent20, other, fallback;
    answerWith(other, addr("127.0.0.66", 1));
    answerWith(fallback, addr("127.0.0.20", 2000));
    serveSrv(dns, {srv(1, 0, silent10.port(), "."),       // no service: left out
                   srv(5, 0, silent10.port(), "0.0.0.0"), // does not resolve: nothing sent
                   srv(20, 0, silent20.port(), "127.0.0.1"), srv(10, 0, silent10.port(), "127.0.0.1"),
                   srv(0, 0, other.port(), "127.0.0.1", kelTestDnsName("_stun._udp.other.test"))});
    Client c(u"127.0.0.1", kelSTUNProtoUDP, true, fallback.port(), dns.entry());
    const uint64_t start = c.clock.nowMs();
    ASSERT_GE(c.c->req(1, nullptr, 0, nullptr, &c.done), 0);
    ASSERT_TRUE(kelTestAdvanceUntil(
        c.clock, [&] { return c.finished(); }, 60000, 500));
    EXPECT_EQ(c.c->error(), 200);
    EXPECT_EQ(c.c->ip4(), 0x7F000014u);
    EXPECT_EQ(silent10.count(false), 5u);
    EXPECT_EQ(silent20.count(false), 5u);
    EXPECT_EQ(other.count(false), 0u);
    EXPECT_EQ(fallback.count(false), 1u);
    // Sends at 0, 1, 3, 6 and 10 s, then 5 s more, on each silent server.
    EXPECT_GE(c.clock.nowMs() - start, 30000u);
    const auto asked = dns.requests();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(std::string(asked[0].data.begin(), asked[0].data.end()).find("\x05_stun\x04_udp"),
              std::string::npos);
}

TEST(kelSTUNClientTest, AmongEqualPrioritiesTheWeightsChooseByRfc2782)
{
    kelTestScriptedServer dns, light, heavy;
    answerWith(light, addr("127.0.0.30", 1));
    answerWith(heavy, addr("127.0.0.31", 1));
    serveSrv(dns, {srv(10, 0, light.port(), "127.0.0.1"), srv(10, 10, heavy.port(), "127.0.0.1")});
    // The random value in [0, sum of weights] against the running sum, with
    // the weight-0 server first.
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 0x7F00001E}, {1, 0x7F00001F}, {10, 0x7F00001F}};
    for (const auto& [value, ip] : cases) {
        Client c(u"127.0.0.1", kelSTUNProtoUDP, true, 9, dns.entry());
        uint32_t seenSum = 99;
        c.c->setRandom([&seenSum, v = value](uint32_t sum) {
            seenSum = sum;
            return v;
        });
        ASSERT_GE(c.c->req(1, nullptr, 0, nullptr, &c.done), 0);
        ASSERT_TRUE(kelTestWaitUntil([&] { return c.finished(); }));
        EXPECT_EQ(c.c->ip4(), ip) << value;
        EXPECT_EQ(seenSum, 10u);
    }
}

TEST(kelSTUNClientTest, OverTcpAnswersAreFramedAndAClosedOrSilentServerFailsOver)
{
    kelTestScriptedServer dns, closing("127.0.0.1", kelTestStunTcpFrame),
        silent("127.0.0.1", kelTestStunTcpFrame), good("127.0.0.3", kelTestStunTcpFrame);
    closing.setScript([](const Request&) { return Action{{}, true}; });
    good.setScript([](const Request& r) {
        // Another transaction's answer and ours in one stream, split mid-header.
        Bytes other = r.data;
        other[10] ^= 0xFF;
        Bytes stream = kelTestStunSuccess(other, addr("127.0.0.66", 1));
        const Bytes ours = kelTestStunSuccess(r.data, addr("127.0.0.40", 4000));
        stream.insert(stream.end(), ours.begin(), ours.end());
        const auto cut = stream.begin() + static_cast<ptrdiff_t>(stream.size() - ours.size() + 7);
        return Action{{{Bytes(stream.begin(), cut), -1, {}}, {Bytes(cut, stream.end()), -1, {}}}, false};
    });
    serveSrv(dns, {srv(10, 0, closing.port(), "127.0.0.1"), srv(20, 0, silent.port(), "127.0.0.1"),
                   srv(30, 0, good.port(), "127.0.0.3")});
    Client c(u"127.0.0.1", kelSTUNProtoTCP, true, 9, dns.entry());
    const uint64_t start = c.clock.nowMs();
    ASSERT_GE(c.c->req(1, nullptr, 0, nullptr, &c.done), 0);
    ASSERT_TRUE(kelTestWaitUntil([&] { return silent.count(true) == 1; }));
    EXPECT_EQ(closing.count(true), 1u);
    EXPECT_FALSE(c.finished());
    ASSERT_TRUE(kelTestAdvanceUntil(
        c.clock, [&] { return c.finished(); }, 60000, 1000));
    EXPECT_EQ(c.c->error(), 200);
    EXPECT_EQ(c.c->ip4(), 0x7F000028u);
    EXPECT_GE(c.clock.nowMs() - start, kelSTUNTcpTimeoutMs);
    const auto asked = dns.requests();
    ASSERT_FALSE(asked.empty());
    EXPECT_NE(std::string(asked[0].data.begin(), asked[0].data.end()).find("\x05_stun\x04_tcp"),
              std::string::npos);
}

TEST(kelSTUNClientTest, AClientIdleFor30SecondsEndsAndTheNextRequestStartsItAgain)
{
    kelTestScriptedServer server;
    answerWith(server, addr("127.0.0.9", 4242));
    Client c(u"127.0.0.1", kelSTUNProtoUDP, false, server.port());
    for (int round = 0; round < 2; ++round) {
        c.done.setState(false);
        ASSERT_GE(c.c->req(1, nullptr, 0, nullptr, &c.done), 0) << round;
        ASSERT_TRUE(kelTestWaitUntil([&] { return c.finished(); })) << round;
        EXPECT_EQ(c.c->error(), 200) << round;
        ASSERT_TRUE(kelTestAdvanceUntil(
            c.clock, [&] { return c.c->status() == keltsStopped; }, 60000, 5000))
            << round;
        EXPECT_FALSE(c.c->active());
    }
    EXPECT_EQ(server.count(false), 2u);
}

TEST(kelSTUNClientTest, AnUnresolvedServerFailsAtOnce)
{
    // "0.0.0.0" stands for this machine: no server of ours, so nothing is
    // sent and the request fails without waiting for the clock.
    Client c(u"0.0.0.0", kelSTUNProtoUDP, false, 3478);
    ASSERT_GE(c.c->req(1, nullptr, 0, nullptr, &c.done), 0);
    ASSERT_TRUE(kelTestWaitUntil([&] { return c.finished(); }));
    EXPECT_EQ(c.c->error(), -1);
}

} // namespace
