// The packets this library builds, dissected by tshark: every one must be
// recognised as what it is, with no malformed-packet or expert warning.
// Nothing is sent: the packets go into a capture file through text2pcap.
#include "net/rtp/kelSocks_RTP.h"

#include "core/kelCreate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

bool haveTool(const char* name)
{
    const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

std::string run(const std::string& cmd)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

class kelRTPWiresharkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!haveTool("tshark") || !haveTool("text2pcap"))
            GTEST_SKIP() << "tshark/text2pcap not installed (scripts/install-deps installs them)";
        char tmpl[] = "/tmp/kel-rtp-interop-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        f_dir = tmpl;
    }
    void TearDown() override
    {
        if (!f_dir.empty()) std::system(("rm -rf '" + f_dir + "'").c_str());
    }

    // Writes the packets as UDP datagrams to `port` into a capture file and
    // returns its path.
    std::string capture(const std::vector<Bytes>& packets, int port)
    {
        const std::string txt = f_dir + "/in" + std::to_string(port) + ".txt";
        const std::string pcap = f_dir + "/out" + std::to_string(port) + ".pcap";
        std::ofstream f(txt);
        for (const Bytes& p : packets) {
            f << "000000";
            char hex[4];
            for (uint8_t b : p) {
                std::snprintf(hex, sizeof hex, " %02x", b);
                f << hex;
            }
            f << "\n";
        }
        f.close();
        const std::string cmd = "text2pcap -q -4 127.0.0.1,127.0.0.2 -u 40000," + std::to_string(port) +
                                " '" + txt + "' '" + pcap + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return pcap;
    }

    std::string tshark(const std::string& pcap, const std::string& args)
    {
        return run("tshark -n -r '" + pcap + "' -d udp.port==5006,rtp -d udp.port==5007,rtcp " + args +
                   " 2>/dev/null");
    }

    // Lines of frames that tshark marks malformed or flags at warning level
    // or above.
    std::string complaints(const std::string& pcap)
    {
        return tshark(pcap, "-Y '_ws.malformed || _ws.expert.severity >= 6291456' -T fields -e frame.number "
                            "-e _ws.expert.message");
    }

    std::string f_dir;
};

Bytes rtpPacket(uint16_t seq, uint32_t ts, uint8_t pt, size_t payload)
{
    Bytes p(12 + payload, 0xD5);
    rtpWriteHeader(p.data(), false, pt, seq, ts, 0x5EED1234);
    return p;
}

TEST_F(kelRTPWiresharkTest, RtpDataAndComfortNoisePingDissectCleanly)
{
    std::vector<Bytes> packets;
    for (uint16_t i = 0; i < 3; ++i)
        packets.push_back(rtpPacket(static_cast<uint16_t>(1000 + i), 160u * i, 0, 160));
    Bytes ping(13);
    rtpBuildCNPing(ping.data(), 1003, 0x5EED1234);
    packets.push_back(ping);
    const std::string pcap = capture(packets, 5006);
    EXPECT_EQ(tshark(pcap, "-T fields -e rtp.version -e rtp.p_type -e rtp.seq"),
              "2\t0\t1000\n2\t0\t1001\n2\t0\t1002\n2\t13\t1003\n");
    EXPECT_EQ(complaints(pcap), "");
}

// What the RTCP stack itself sends, captured instead of sent.
class Owner : public kelRTCPStackOwner
{
public:
    uint32_t rtcpSSRC() const noexcept override { return 0x5EED1234; }
    std::string rtcpCNAME() const override { return cname; }
    std::string cname = "kelRTPTransmitter@quill";
};

class CapturingStack : public kelRTCPstack
{
public:
    explicit CapturingStack(Owner* owner) : kelRTCPstack(owner, false)
    {
        setNTPClock([](kelNTP_timestamp& ntp) {
            ntp = ntpFromUnixMs(1765267200123ull);
            return true;
        });
        setClock(manual);
    }
    int sendTo(const sockaddr_in*, const uint8_t* data, size_t size) noexcept override
    {
        sent.emplace_back(data, data + size);
        return 0;
    }
    kelManualClock manual{5000000};
    std::vector<Bytes> sent;
};

sockaddr_in member(uint32_t i)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(7001 + 2 * i));
    return a;
}

TEST_F(kelRTPWiresharkTest, StackReportsProbesAndByeDissectCleanly)
{
    Owner owner;
    kelOwned<CapturingStack> stack(kelCreate<CapturingStack>(&owner));
    ASSERT_TRUE(stack);
    // 40 members, each known from an SR and heard with some RTP loss.
    for (uint32_t i = 0; i < 40; ++i) {
        const uint32_t ssrc = 0x1000 + i;
        uint8_t sr[28];
        kelRTCPWriter w(sr, sizeof sr);
        ASSERT_TRUE(w.beginSR(ssrc, ntpFromUnixMs(1765267199000ull), 1, 2, 3));
        w.closePacket();
        stack->processRTCP(member(i), sr, sizeof sr);
        for (uint16_t seq = 100; seq < 150; seq = static_cast<uint16_t>(seq + (seq % 7 == 0 ? 2 : 1))) {
            rtp_hdr h;
            h.setSsrc(ssrc);
            h.setSeq(seq);
            stack->processRTP(member(i), h, 172);
            (void)stack->updateSeq(ssrc, seq);
        }
    }
    stack->manual.advanceMs(1500);
    rtp_hdr sentHeader;
    sentHeader.setTimestamp(160000);
    stack->onRTPSent(sentHeader, 160);

    // Our report (an SR, as we sent), then reports with CNAMEs of every
    // length modulo 4, so every padding case is seen.
    std::vector<Bytes> packets;
    for (const char* cname : {"kelRTPTransmitter@quill", "a", "", "ab@c"}) {
        owner.cname = cname;
        stack->sent.clear();
        ASSERT_TRUE(stack->report(false));
        packets.push_back(stack->sent.at(0));
    }
    // A round-trip probe, the hole-punching HELO, an APP whose data is not
    // a whole number of words, and the BYE: each in a compound that a
    // sender report (this side sent) and the CNAME lead.
    kelRTTPayload probe;
    probe.proberSSRC = 0x5EED1234;
    probe.probedSSRC = 0x1000;
    uint8_t rtt[kelRTTPayloadSize];
    probe.write(rtt);
    const uint8_t five[5] = {1, 2, 3, 4, 5};
    stack->sent.clear();
    ASSERT_EQ(stack->sendAPPto(member(0), kelRTTProbe, "_RTT", rtt, sizeof rtt, true), 0);
    ASSERT_EQ(stack->sendAPPto(member(0), 0, "HELO", nullptr, 0, false), 0);
    ASSERT_EQ(stack->sendAPPto(member(0), 7, "TEST", five, sizeof five, false), 0);
    ASSERT_TRUE(stack->report(true));
    // Three APP compounds, then the BYE compound once per member.
    ASSERT_GE(stack->sent.size(), 4u);
    packets.insert(packets.end(), stack->sent.begin(), stack->sent.begin() + 4);

    const std::string pcap = capture(packets, 5007);
    EXPECT_EQ(tshark(pcap, "-T fields -e rtcp.pt"),
              "200,201,202\n200,202\n200,202\n200,202\n200,202,204\n200,202,204\n200,202,204\n200,202,203\n");
    // 31 blocks in the SR, the other 9 in an RR; the later reports have
    // none, as nobody was heard since.
    EXPECT_EQ(tshark(pcap, "-Y 'frame.number == 1' -T fields -e rtcp.rc"), "31,9\n");
    EXPECT_EQ(tshark(pcap, "-Y 'frame.number == 1' -T fields -e rtcp.sdes.text"),
              "kelRTPTransmitter@quill\n");
    EXPECT_EQ(complaints(pcap), "");
}

} // namespace
