// The packets this library builds, dissected by tshark: every one must be
// recognised as what it is, with no malformed-packet or expert warning.
// Nothing is sent: the packets go into a capture file through text2pcap.
#include "net/rtp/kelSocks_RTP.h"

#include <gtest/gtest.h>

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
    if (p == nullptr)
        return out;
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
        if (!f_dir.empty())
            std::system(("rm -rf '" + f_dir + "'").c_str());
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
        const std::string cmd = "text2pcap -q -4 127.0.0.1,127.0.0.2 -u 40000," + std::to_string(port) + " '" +
                                txt + "' '" + pcap + "' >/dev/null 2>&1";
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

Bytes compound(size_t blocks, bool sender, const char* cname)
{
    Bytes buf(1500);
    kelRTCPWriter w(buf.data(), buf.size());
    bool ok = sender ? w.beginSR(0x5EED1234, ntpFromUnixMs(1765267200123ull), 123456, 10, 1600) : w.beginRR(0x5EED1234);
    for (size_t i = 0; ok && i < blocks; ++i) {
        if (w.openBlocks() == kelRTCPMaxBlocks)
            ok = w.beginRR(0x5EED1234);
        kelRTCPReportBlock b;
        b.ssrc = 0x1000 + static_cast<uint32_t>(i);
        b.fractionLost = 25;
        b.cumulativeLost = 3;
        b.extendedHighestSeq = 0x00010010;
        b.lastSR = 0xC2001000;
        b.delaySinceLastSR = 65536;
        ok = ok && w.addBlock(b);
    }
    ok = ok && w.addSDES(0x5EED1234, cname);
    EXPECT_TRUE(ok);
    buf.resize(w.size());
    return buf;
}

Bytes app(uint8_t subtype, const char* name, const uint8_t* data, size_t n)
{
    Bytes buf(64);
    kelRTCPWriter w(buf.data(), buf.size());
    EXPECT_TRUE(w.addAPP(0x5EED1234, subtype, name, data, n));
    buf.resize(w.size());
    return buf;
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

TEST_F(kelRTPWiresharkTest, RtcpReportsByeAndAppDissectCleanly)
{
    kelRTTPayload probe;
    probe.timeMark = 123456789;
    probe.magic = 0x1234567;
    probe.proberSSRC = 0x5EED1234;
    probe.probedSSRC = 0x1000;
    uint8_t rtt[kelRTTPayloadSize];
    probe.write(rtt);
    const uint8_t five[5] = {1, 2, 3, 4, 5};
    Bytes bye(8);
    kelRTCPWriter bw(bye.data(), bye.size());
    ASSERT_TRUE(bw.addBYE(0x5EED1234));

    // CNAMEs of every length modulo 4, so every padding case is seen.
    const std::vector<Bytes> packets{
        compound(2, true, "kelRTPReceiver@host"), compound(1, false, "a"),     compound(0, false, ""),
        compound(40, false, "ab@c"),              compound(3, true, "abcdefgh"), bye,
        app(kelRTTProbe, "_RTT", rtt, sizeof rtt), app(kelRTTEcho, "_RTT", rtt, sizeof rtt),
        app(0, "HELO", nullptr, 0),               app(7, "TEST", five, sizeof five)};
    const std::string pcap = capture(packets, 5007);
    EXPECT_EQ(tshark(pcap, "-T fields -e rtcp.pt"),
              "200,202\n201,202\n201,202\n201,201,202\n200,202\n203\n204\n204\n204\n204\n");
    EXPECT_EQ(tshark(pcap, "-Y 'frame.number == 4' -T fields -e rtcp.rc"), "31,9\n");
    EXPECT_EQ(tshark(pcap, "-Y 'frame.number == 1' -T fields -e rtcp.sdes.text"), "kelRTPReceiver@host\n");
    EXPECT_EQ(complaints(pcap), "");
}

} // namespace
