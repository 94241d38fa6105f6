// DNS wire format: names, requests, answer matching and message parsing,
// on golden and hostile bytes.
#include "net/protocols/kelSocks_DNS.h"
#include "tests/support/kelTestScriptedServer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes header(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns = 0, uint16_t ar = 0)
{
    return {uint8_t(id >> 8), uint8_t(id), uint8_t(flags >> 8), uint8_t(flags),
            uint8_t(qd >> 8), uint8_t(qd), uint8_t(an >> 8),    uint8_t(an),
            uint8_t(ns >> 8), uint8_t(ns), uint8_t(ar >> 8),    uint8_t(ar)};
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An answer message: header, the question "a.test" SRV IN, then `records`.
Bytes answer(const std::vector<Bytes>& records, uint16_t flags = 0x8180, uint16_t an = 0xFFFF)
{
    Bytes m = header(0x1234, flags, 1, an == 0xFFFF ? uint16_t(records.size()) : an) +
              kelTestDnsName("a.test") + Bytes{0, 33, 0, 1};
    for (const Bytes& r : records)
        m = m + r;
    return m;
}

TEST(kelDNSWireTest, NamesEncodeAsLabelsWithOrWithoutTrailingDot)
{
    const Bytes golden{0x01, 'a', 0x02, 'b', 'c', 0x03, 'd', 'e', 'f', 0x00};
    for (const char* name : {"a.bc.def", "a.bc.def.", "a..bc.def"}) {
        Bytes out;
        ASSERT_TRUE(dnsEncodeName(name, out)) << name;
        EXPECT_EQ(out, golden) << name;
    }
    Bytes root;
    ASSERT_TRUE(dnsEncodeName(".", root));
    EXPECT_EQ(root, Bytes{0});
    // A label of 63 bytes is the limit, 64 is refused; a name of 255 wire
    // bytes is the limit, 256 is refused; nothing is written for a refusal.
    Bytes out;
    EXPECT_TRUE(dnsEncodeName(std::string(63, 'x'), out));
    out.clear();
    EXPECT_FALSE(dnsEncodeName(std::string(64, 'x'), out));
    EXPECT_TRUE(out.empty());
    const std::string l63(63, 'x');
    const std::string n255 = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'x'); // 64*3 + 62 + 1
    EXPECT_TRUE(dnsEncodeName(n255, out));
    EXPECT_EQ(out.size(), 255u);
    out.clear();
    EXPECT_FALSE(dnsEncodeName(n255 + "x", out));
}

TEST(kelDNSWireTest, DecodingTakesBackwardPointersAndRefusesEveryOtherShape)
{
    // 12 bytes of header, then "a.test" at 12, then the name under test at 20.
    const Bytes base = header(1, 0, 0, 0) + kelTestDnsName("a.test");
    struct Case
    {
        const char* what;
        Bytes name;
        const char* expect; // null: malformed
    };
    std::vector<Case> cases = {
        {"labels then a pointer back", Bytes{1, 'x', 0xC0, 12}, "x.a.test"},
        {"a pointer alone", Bytes{0xC0, 12}, "a.test"},
        {"the root", Bytes{0}, "."},
        {"a pointer to itself", Bytes{0xC0, 20}, nullptr},
        {"a pointer forward", Bytes{0xC0, 22, 1, 'y', 0}, nullptr},
        {"a pointer into its own labels", Bytes{1, 'x', 0xC0, 20}, nullptr},
        {"label type 01 (0x40)", Bytes{0x40, 'x', 0}, nullptr},
        {"label type 10 (0xBF)", Bytes{0xBF, 'x', 0}, nullptr},
        {"a label past the end", Bytes{9, 'x'}, nullptr},
        {"no closing zero", Bytes{1, 'x'}, nullptr},
        {"half a pointer", Bytes{0xC0}, nullptr},
    };
    for (const Case& c : cases) {
        const Bytes msg = base + c.name;
        std::string name;
        size_t next = 0;
        const bool ok = dnsDecodeName(msg.data(), msg.size(), 20, msg.size(), name, next);
        if (c.expect == nullptr) {
            EXPECT_FALSE(ok) << c.what << " gave " << name;
        } else {
            ASSERT_TRUE(ok) << c.what;
            EXPECT_EQ(name, c.expect) << c.what;
            EXPECT_EQ(next, msg.size()) << c.what;
        }
    }
    // A chain of backward pointers: 126 jumps decode, 127 are refused.
    for (const int jumps : {126, 127}) {
        Bytes msg = header(1, 0, 0, 0) + Bytes{0};
        for (int i = 0; i < jumps; ++i) {
            const int target = i == 0 ? 12 : 13 + 2 * (i - 1);
            msg = msg + Bytes{uint8_t(0xC0 | (target >> 8)), uint8_t(target)};
        }
        std::string name;
        size_t next = 0;
        EXPECT_EQ(dnsDecodeName(msg.data(), msg.size(), msg.size() - 2, msg.size(), name, next), jumps == 126)
            << jumps;
    }
    // Pointers that each add labels until the name passes 255 bytes.
    Bytes msg = header(1, 0, 0, 0) + Bytes{0};
    size_t prev = 12;
    for (int i = 0; i < 5; ++i) {
        const size_t at = msg.size();
        msg = msg + Bytes{63} + Bytes(63, 'z') + Bytes{0xC0, uint8_t(prev)};
        prev = at;
    }
    std::string name;
    size_t next = 0;
    EXPECT_FALSE(dnsDecodeName(msg.data(), msg.size(), prev, msg.size(), name, next));
}

TEST(kelDNSWireTest, RequestCountsAndSendsOnlyTheQuestionsThatFit)
{
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i)
        names.push_back(std::string(20, char('a' + i % 26)) + ".example.test");
    names.insert(names.begin() + 1, "  "); // blank names are no questions
    Bytes msg;
    std::vector<std::string> written;
    const size_t size = dnsBuildRequest(0xBEEF, 0, true, names, 33, 1, msg, &written);
    // Each question is 39 bytes: 12 + 12 * 39 = 480 fits, a 13th would not.
    EXPECT_EQ(written.size(), 12u);
    EXPECT_EQ(size, 12u + 12u * 39u);
    EXPECT_EQ(msg.size(), size);
    EXPECT_EQ(msg[4] * 256 + msg[5], 12);
    EXPECT_EQ(Bytes(msg.begin(), msg.begin() + 4), (Bytes{0xBE, 0xEF, 0x01, 0x00}));
    kelDNSSections s;
    ASSERT_TRUE(dnsParseMessage(msg.data(), msg.size(), s));
    EXPECT_EQ(s.s[0].size(), 12u);
    EXPECT_EQ(s.s[0][11]->rname(), written[11]);
}

TEST(kelDNSWireTest, AnAnswerMustRepeatIdOpcodeAndQuestion)
{
    Bytes req;
    dnsBuildRequest(0x4242, 0, true, {"_stun._udp.Example.test"}, 33, 1, req);
    const Bytes good = kelTestDnsAnswer(req, {});
    EXPECT_TRUE(dnsAnswersRequest(req.data(), req.size(), good.data(), good.size()));
    struct Case
    {
        const char* what;
        size_t at;
        uint8_t value;
        bool answers;
    };
    const Case cases[] = {
        {"another id", 1, 0x43, false},
        {"QR clear", 2, 0x01, false},
        {"another opcode", 2, 0x81 | (2 << 3), false},
        {"no question", 5, 0, false},
        {"another type", good.size() - 3, 28, false},
        {"another class", good.size() - 1, 3, false},
        {"the name in other case", 24, 'e', true},
        {"another name", 14, 'x', false},
    };
    for (const Case& c : cases) {
        Bytes b = good;
        b[c.at] = c.value;
        EXPECT_EQ(dnsAnswersRequest(req.data(), req.size(), b.data(), b.size()), c.answers) << c.what;
    }
    EXPECT_FALSE(dnsAnswersRequest(req.data(), req.size(), good.data(), 11));
}

TEST(kelDNSWireTest, RecordsAreReadWholeOrTheMessageFails)
{
    const Bytes srv = kelTestDnsRR(33, kelTestSrvData(10, 5, 3478, "127.0.0.1"));
    kelDNSSections s;
    ASSERT_TRUE(dnsParseMessage(answer({srv}).data(), answer({srv}).size(), s));
    // Counts no bytes could hold: 65535 answers in a short message.
    Bytes lying = answer({srv}, 0x8180, 0xFFFF - 1);
    EXPECT_FALSE(dnsParseMessage(lying.data(), lying.size(), s));
    // Record data running past the end, and a record cut inside its fixed fields.
    Bytes cut = answer({srv});
    cut.resize(cut.size() - 3);
    EXPECT_FALSE(dnsParseMessage(cut.data(), cut.size(), s));
    Bytes fixed = answer({srv});
    fixed.resize(fixed.size() - srv.size() + 6);
    EXPECT_FALSE(dnsParseMessage(fixed.data(), fixed.size(), s));
    // A truncated answer keeps the records that came whole.
    Bytes tc = answer({srv, srv, srv}, 0x8380);
    tc.resize(tc.size() - 4);
    kelDNSSections t;
    ASSERT_TRUE(dnsParseMessage(tc.data(), tc.size(), t));
    ASSERT_EQ(t.s[1].size(), 2u);
    EXPECT_EQ(t.s[1][1]->data<kelDNSRR_SRV>()->target(), "127.0.0.1");
    // A name in record data that leaves its record fails too.
    Bytes badName = answer({kelTestDnsRR(5, Bytes{5, 'a', 'b'})});
    EXPECT_FALSE(dnsParseMessage(badName.data(), badName.size(), s));
}

TEST(kelDNSWireTest, TypedRecordDataReadsEveryKnownType)
{
    const std::string text200(200, 't');
    const Bytes txt = Bytes{200} + Bytes(text200.begin(), text200.end()) + Bytes{3, 'a', 'b', 'c'};
    const Bytes rrsig = Bytes{0, 1, 8, 2, 0, 0, 0x0E, 0x10, 0x67, 0, 0, 0, 0x65, 0, 0, 0, 0x30, 0x39} +
                        kelTestDnsName("sig.example.test") + Bytes{0xAA, 0xBB};
    const Bytes naptrStr(250, 'r');
    const Bytes naptr =
        Bytes{0, 100, 0, 10, 1, 'U', 7, 'E', '2', 'U', '+', 's', 'i', 'p', 250} + naptrStr + Bytes{0};
    const std::vector<Bytes> records = {
        kelTestDnsRR(1, Bytes{127, 0, 0, 5}),
        kelTestDnsRR(16, txt),
        kelTestDnsRR(35, naptr),
        kelTestDnsRR(46, rrsig),
        kelTestDnsRR(48, Bytes{1, 1, 3, 8, 0xAA}),
        kelTestDnsRR(48, Bytes{1, 0, 3, 8, 0xAA}),
        kelTestDnsRR(51, Bytes{1, 0, 0, 10, 0}),
        kelTestDnsRR(51, Bytes{1, 0, 0, 10, 2, 0xAB, 0xCD}),
        kelTestDnsRR(15, Bytes{0, 10, 0xC0, 12}),
        kelTestDnsRR(6, kelTestDnsName("ns.test") + Bytes{0xC0, 12} + Bytes(20, 1)),
        kelTestDnsRR(28, Bytes(16, 0x20)),
    };
    const Bytes msg = answer(records);
    kelDNSSections s;
    ASSERT_TRUE(dnsParseMessage(msg.data(), msg.size(), s));
    const auto& an = s.s[1];
    ASSERT_EQ(an.size(), records.size());
    EXPECT_EQ(an[0]->data<kelDNSRR_A>()->ip(), 0x7F000005u);
    EXPECT_EQ(an[1]->data<kelDNSRR_TXT>()->text(), text200);
    EXPECT_EQ(an[1]->data<kelDNSRR_TXT>()->strings(), (std::vector<std::string>{text200, "abc"}));
    const auto* n = an[2]->data<kelDNSRR_NAPTR>();
    EXPECT_EQ(n->order(), 100);
    EXPECT_EQ(n->services(), "E2U+sip");
    EXPECT_EQ(n->regexp(), std::string(250, 'r'));
    EXPECT_EQ(n->replace(), ".");
    const auto* sig = an[3]->data<kelDNSRR_RRSIG>();
    EXPECT_EQ(sig->typeCovered(), 1);
    EXPECT_EQ(sig->keyTag(), 0x3039);
    EXPECT_EQ(sig->signer(), "sig.example.test");
    EXPECT_EQ(sig->signature(), "\xAA\xBB");
    EXPECT_TRUE(an[4]->data<kelDNSRR_DNSKEY>()->zoneKey());
    EXPECT_TRUE(an[4]->data<kelDNSRR_DNSKEY>()->secureEntryPoint());
    EXPECT_TRUE(an[5]->data<kelDNSRR_DNSKEY>()->zoneKey());
    EXPECT_FALSE(an[5]->data<kelDNSRR_DNSKEY>()->secureEntryPoint());
    EXPECT_EQ(an[6]->data<kelDNSRR_NSEC3PARAM>()->salt(), "-");
    EXPECT_EQ(an[7]->data<kelDNSRR_NSEC3PARAM>()->salt(), "ABCD");
    EXPECT_EQ(an[8]->data<kelDNSRR_MX>()->exchange(), "a.test");
    EXPECT_EQ(an[9]->data<kelDNSRR_SOA>()->rname(), "a.test");
    EXPECT_EQ(an[9]->data<kelDNSRR_SOA>()->minimum(), 0x01010101u);
    EXPECT_EQ(an[10]->data<kelDNSRR_AAAA>()->ip()[15], 0x20);
    EXPECT_EQ(an[0]->rname(), "a.test");
    EXPECT_EQ(an[0]->rttl(), 60u);
}

} // namespace
