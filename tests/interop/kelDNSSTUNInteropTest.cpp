// The DNS client against dnsmasq, with dig's decoding as the reference, and
// the STUN client against coturn, with turnutils_stunclient beside it. The
// servers run on 127.0.0.2 / 127.0.0.1 from the test's own arguments and are
// stopped by their PID; nothing reaches the system resolver.
#include "net/protocols/kelSocks_DNS.h"
#include "net/protocols/kelSocks_STUN.h"
#include "tests/support/kelTestDnsPeers.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestScriptedServer.h"

#include "core/kelBase64.h"
#include "core/kelCreate.h"
#include "net/sockets/kelSockets.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <ctime>
#include <mutex>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const Bytes& b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (const uint8_t v : b) {
        s.push_back(digits[v >> 4]);
        s.push_back(digits[v & 15]);
    }
    return s;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string name(const std::string& n)
{
    return n == "." ? "." : n + ".";
}

std::string stamp(uint32_t t)
{
    const time_t tt = static_cast<time_t>(t);
    tm parts{};
    ::gmtime_r(&tt, &parts);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &parts);
    return buf;
}

// A record's data the way dig presents it.
std::string present(const kelDNSRR& rr)
{
    std::ostringstream o;
    if (auto* a = rr.data<kelDNSRR_A>()) {
        in_addr in{htonl(a->ip())};
        o << ::inet_ntoa(in);
    } else if (auto* v6 = rr.data<kelDNSRR_AAAA>()) {
        char buf[64];
        ::inet_ntop(AF_INET6, v6->ip(), buf, sizeof buf);
        o << buf;
    } else if (auto* s = rr.data<kelDNSRR_SRV>()) {
        o << s->priority() << ' ' << s->weight() << ' ' << s->port() << ' ' << name(s->target());
    } else if (auto* t = rr.data<kelDNSRR_TXT>()) {
        for (size_t i = 0; i < t->strings().size(); ++i)
            o << (i ? " " : "") << '"' << t->strings()[i] << '"';
    } else if (auto* c = rr.data<kelDNSRR_CNAME>()) {
        o << name(c->cname());
    } else if (auto* n = rr.data<kelDNSRR_NAPTR>()) {
        o << n->order() << ' ' << n->pref() << " \"" << n->flags() << "\" \"" << n->services() << "\" \""
          << n->regexp() << "\" " << name(n->replace());
    } else if (auto* m = rr.data<kelDNSRR_MX>()) {
        o << m->preference() << ' ' << name(m->exchange());
    } else if (auto* p = rr.data<kelDNSRR_PTR>()) {
        o << name(p->domain());
    } else if (auto* ns = rr.data<kelDNSRR_NS>()) {
        o << name(ns->ns());
    } else if (auto* soa = rr.data<kelDNSRR_SOA>()) {
        o << name(soa->mname()) << ' ' << name(soa->rname()) << ' ' << soa->serial() << ' ' << soa->refresh()
          << ' ' << soa->retry() << ' ' << soa->expire() << ' ' << soa->minimum();
    } else if (auto* rp = rr.data<kelDNSRR_RP>()) {
        o << name(rp->mbox()) << ' ' << name(rp->dname());
    } else if (auto* k = rr.data<kelDNSRR_DNSKEY>()) {
        o << ((k->zoneKey() ? 256 : 0) + (k->secureEntryPoint() ? 1 : 0)) << ' ' << int(k->proto()) << ' '
          << int(k->algo()) << ' ' << encodeBase64(k->pubKey());
    } else if (auto* sig = rr.data<kelDNSRR_RRSIG>()) {
        o << (sig->typeCovered() == 1 ? "A" : std::to_string(sig->typeCovered())) << ' ' << int(sig->algo())
          << ' ' << int(sig->labels()) << ' ' << sig->originalTTL() << ' '
          << stamp(sig->signatureExpiration()) << ' ' << stamp(sig->signatureInception()) << ' '
          << sig->keyTag() << ' ' << name(sig->signer()) << ' ' << encodeBase64(sig->signature());
    } else if (auto* np = rr.data<kelDNSRR_NSEC3PARAM>()) {
        o << int(np->algo()) << ' ' << int(np->flags()) << ' ' << np->iterations() << ' ' << np->salt();
    }
    return o.str();
}

// The data column of dig's answer lines for NAME TYPE.
std::vector<std::string> digAnswers(const kelTestDnsmasq& d, const std::string& qname,
                                    const std::string& qtype)
{
    const auto out = kelTestProcess::filter("dig @" + std::string(kelTestDnsmasq::kAddress) + " -p " +
                                                std::to_string(d.port()) +
                                                " +noall +answer +tries=1 +time=2 " + qname + " " + qtype,
                                            "");
    std::vector<std::string> rows;
    if (!out) return rows;
    std::istringstream in(*out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string owner, ttl, cls, type;
        words >> owner >> ttl >> cls >> type;
        if (type != qtype) continue;
        std::string rest;
        std::getline(words, rest);
        rest.erase(0, rest.find_first_not_of(" \t"));
        rows.push_back(rest);
    }
    return rows;
}

struct Result
{
    bool failed = true;
    bool tcp = false;
    bool truncated = false;
    std::vector<std::string> rows;
    std::vector<std::string> texts;
};

class Recorder : public kelDNSClient
{
public:
    using kelDNSClient::kelDNSClient;
    std::mutex m;
    std::vector<Result> results;

protected:
    void onQueryComplete(kelDNSQuery* q, bool failed) override
    {
        Result r;
        r.failed = failed;
        r.tcp = q->queryWasTCP();
        r.truncated = q->resp() != nullptr && (q->resp()[2] & 0x02) != 0;
        for (intptr_t i = 0; i < q->count(1); ++i) {
            const kelDNSRR* rr = q->getRR(i, 1);
            if (rr->rtype() != q->qtype()) continue;
            r.rows.push_back(present(*rr));
            if (auto* t = rr->data<kelDNSRR_TXT>())
                for (const auto& s : t->strings())
                    r.texts.push_back(s);
        }
        std::lock_guard<std::mutex> g(m);
        results.push_back(r);
    }
};

Result ask(const std::string& servers, kelDNS_transport tr, const std::string& qname, int qtype)
{
    kelOwned<Recorder> c(kelCreate<Recorder>(servers, tr));
    if (!c || c->query({qname}, qtype) < 0) return {};
    if (!kelTestWaitUntil([&] {
            std::lock_guard<std::mutex> g(c->m);
            return !c->results.empty();
        }))
        return {};
    std::lock_guard<std::mutex> g(c->m);
    return c->results.front();
}

class kelDNSDnsmasqInterop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string missing = kelTestRootPeerMissing("dnsmasq", "dnsmasq-base");
        if (!missing.empty()) GTEST_SKIP() << missing;
        if (!kelTestProcess::available("dig")) GTEST_SKIP() << "dig is not installed (bind9-dnsutils)";
        ASSERT_FALSE(dir.path().empty());
    }
    kelTempDir dir;
    kelTestDnsmasq dnsmasq;
};

TEST_F(kelDNSDnsmasqInterop, EveryTypeDnsmasqServesDecodesAsDigPrintsIt)
{
    const Bytes ex = kelTestDnsName("example.test");
    auto rr = [](const std::string& owner, int type, const Bytes& data) {
        return "--dns-rr=" + owner + ".example.test," + std::to_string(type) + "," + hex(data);
    };
    const Bytes sigData = Bytes{0, 1, 8, 2, 0, 0, 0x0E, 0x10, 0x67, 0, 0, 0, 0x65, 0, 0, 0, 0x30, 0x39} + ex +
                          Bytes{0xAA, 0xBB, 0xCC, 0xDD};
    const std::vector<std::string> records = {
        "--srv-host=_stun._udp.example.test,127.0.0.1,3478,10,5",
        "--srv-host=_stun._udp.example.test,127.0.0.1,3479,20,0",
        "--host-record=h.example.test,127.0.0.5,fe80::1",
        "--txt-record=t.example.test," + std::string(200, 'x'),
        "--cname=c.example.test,h.example.test",
        "--naptr-record=n.example.test,100,10,U,E2U+sip,!^.*$!sip:info@example.test!",
        "--mx-host=m.example.test,mail.example.test,10",
        "--ptr-record=p.example.test,target.example.test",
        rr("ns", 2, kelTestDnsName("ns.example.test")),
        rr("soa", 6,
           kelTestDnsName("ns.example.test") + kelTestDnsName("root.example.test") +
               Bytes{0, 0, 0, 1, 0, 0, 0x0E, 0x10, 0, 0, 7, 8, 0, 9, 0x34, 0x80, 0, 0, 0, 60}),
        rr("rp", 17, kelTestDnsName("root.example.test") + kelTestDnsName("txt.example.test")),
        rr("k1", 48, Bytes{1, 1, 3, 8, 0xAA, 0xBB, 0xCC, 0xDD}),
        rr("k2", 48, Bytes{1, 0, 3, 8, 0x11, 0x22}),
        rr("s", 46, sigData),
        rr("np", 51, Bytes{1, 0, 0, 10, 2, 0xAB, 0xCD}),
    };
    ASSERT_TRUE(dnsmasq.start(records, dir.path())) << dnsmasq.log();
    const std::pair<const char*, int> asks[] = {
        {"_stun._udp", 33}, {"h", 1},   {"h", 28},  {"t", 16},  {"c", 5},   {"n", 35}, {"m", 15},  {"p", 12},
        {"ns", 2},          {"soa", 6}, {"rp", 17}, {"k1", 48}, {"k2", 48}, {"s", 46}, {"np", 51},
    };
    const std::map<int, std::string> typeNames = {
        {1, "A"},      {2, "NS"},     {5, "CNAME"},   {6, "SOA"},        {12, "PTR"},
        {15, "MX"},    {16, "TXT"},   {17, "RP"},     {28, "AAAA"},      {33, "SRV"},
        {35, "NAPTR"}, {46, "RRSIG"}, {48, "DNSKEY"}, {51, "NSEC3PARAM"}};
    for (const auto& [owner, type] : asks) {
        const std::string qname = std::string(owner) + ".example.test";
        const std::string tname = typeNames.at(type);
        std::vector<std::string> reference = digAnswers(dnsmasq, qname, tname);
        ASSERT_FALSE(reference.empty()) << "dig had no answer for " << qname << " " << tname;
        Result r = ask(dnsmasq.entry(), kelDnsTR_UDP, qname, type);
        ASSERT_FALSE(r.failed) << qname << " " << tname;
        std::sort(reference.begin(), reference.end());
        std::sort(r.rows.begin(), r.rows.end());
        EXPECT_EQ(r.rows, reference) << qname << " " << tname;
    }
}

TEST_F(kelDNSDnsmasqInterop, ALongTxtComesTruncatedOverUdpAndWholeOverTcp)
{
    // 649 bytes of text in three strings.
    const std::string a(255, 'a'), b(255, 'b'), c(139, 'c');
    ASSERT_TRUE(dnsmasq.start({"--txt-record=long.example.test," + a + "," + b + "," + c}, dir.path()))
        << dnsmasq.log();
    const Result udp = ask(dnsmasq.entry(), kelDnsTR_UDP, "long.example.test", 16);
    EXPECT_FALSE(udp.failed);
    EXPECT_TRUE(udp.truncated);
    EXPECT_FALSE(udp.tcp);
    EXPECT_TRUE(udp.texts.empty());
    const Result both = ask(dnsmasq.entry(), kelDnsTR_UDP_then_TCP, "long.example.test", 16);
    EXPECT_FALSE(both.failed);
    EXPECT_TRUE(both.tcp);
    EXPECT_FALSE(both.truncated);
    EXPECT_EQ(both.texts, (std::vector<std::string>{a, b, c}));
}

TEST(kelDNSDigInterop, AnSrvRequestIsWhatDigSendsButForItsId)
{
    if (!kelTestProcess::available("dig")) GTEST_SKIP() << "dig is not installed (bind9-dnsutils)";
    kelTestScriptedServer silent;
    ASSERT_TRUE(silent.ok());
    (void)kelTestProcess::runToEnd({"dig", "@127.0.0.1", "-p", std::to_string(silent.port()), "+noedns",
                                    "+noadflag", "+tries=1", "+time=1", "-t", "SRV",
                                    "_stun._udp.example.test"},
                                   10000);
    ASSERT_EQ(silent.count(false), 1u);
    kelOwned<kelDNSClient> client(kelCreate<kelDNSClient>(silent.entry(), kelDnsTR_UDP));
    ASSERT_GE(client->query({"_stun._udp.example.test"}, kelDNSType_SRV), 0);
    ASSERT_TRUE(kelTestWaitUntil([&] { return silent.count(false) == 2; }));
    Bytes dig = silent.requests()[0].data;
    Bytes ours = silent.requests()[1].data;
    ASSERT_GE(dig.size(), 2u);
    ASSERT_GE(ours.size(), 2u);
    dig[0] = dig[1] = ours[0] = ours[1] = 0;
    EXPECT_EQ(hex(ours), hex(dig));
}

class kelSTUNCoturnInterop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string missing = kelTestRootPeerMissing("turnserver", "coturn");
        if (!missing.empty()) GTEST_SKIP() << missing;
        ASSERT_FALSE(dir.path().empty());
        ASSERT_TRUE(turn.start(dir.path())) << turn.log();
    }
    kelTempDir dir;
    kelTestTurnserver turn;
};

TEST_F(kelSTUNCoturnInterop, UdpAndTcpGiveLoopbackAndTheBoundPort)
{
    const std::string port = std::to_string(turn.port());
    const kelString sport(port.begin(), port.end());
    for (const intptr_t proto : {kelSTUNProtoUDP, kelSTUNProtoTCP}) {
        uint32_t ip = 0;
        uint16_t mapped = 0, bound = 0;
        ASSERT_TRUE(getSTUNMappedAddress(u"127.0.0.1", ip, mapped, bound, sport, proto, 10000, false, nullptr,
                                         u"127.0.0.1"))
            << proto << "\n"
            << turn.log();
        EXPECT_EQ(ip, 0x7F000001u) << proto;
        EXPECT_NE(bound, 0) << proto;
        EXPECT_EQ(mapped, bound) << proto;
    }
    // A lent socket: the answer is about its port.
    kelUdpSocket lent;
    lent.setBindToIP(u"127.0.0.1");
    ASSERT_EQ(lent.bindSocketToPort(0), 0);
    sockaddr_in a{};
    ASSERT_EQ(lent.getSockAddrBound(a), 0);
    uint32_t ip = 0;
    uint16_t mapped = 0, bound = 0;
    ASSERT_TRUE(
        getSTUNMappedAddress(u"127.0.0.1", ip, mapped, bound, sport, kelSTUNProtoUDP, 10000, false, &lent));
    EXPECT_EQ(mapped, ntohs(a.sin_port));
    EXPECT_EQ(bound, ntohs(a.sin_port));
    // The reference client sees the same server the same way.
    if (kelTestProcess::available("turnutils_stunclient")) {
        const auto out = kelTestProcess::filter(
            "timeout 10 turnutils_stunclient -p " + port + " -L 127.0.0.1 127.0.0.1", "");
        ASSERT_TRUE(out.has_value());
        EXPECT_NE(out->find("reflexive addr: 127.0.0.1:"), std::string::npos) << *out;
    }
}

} // namespace
