// Our receiver behind a NAT asks a STUN server for the public ports of its
// RTP and RTCP sockets and announces those in its SETUP. Two network
// namespaces made by the test, joined by a veth pair: the server side holds
// 100.64.0.1 (coturn, STUN only) and 100.64.0.2 (GStreamer's RTSP server)
// on its lo, addresses outside the reserved ranges, so the receiver asks;
// the client side maps its UDP ports 46000/46001 to 41000/41001 (nftables,
// both ways) and drops what reaches 46000/46001 unmapped. The stream can
// only come in through the announced public ports. Needs root, ip, nft,
// coturn and GStreamer's RTSP server; skipped with the reason otherwise.
#include "core/kelUtf.h"
#include "net/rtp/kelRTPReceiver.h"
#include "net/protocols/kelSocks_STUN.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace {

int run(const std::vector<std::string>& args)
{
    return kelTestProcess::runToEnd(args, 20000);
}

struct Namespaces
{
    std::string client = "kelstc" + std::to_string(::getpid());
    std::string server = "kelsts" + std::to_string(::getpid());
    bool made = false;

    bool make(const std::string& dir)
    {
        const std::string vc = "ksc" + std::to_string(::getpid()), vs = "kss" + std::to_string(::getpid());
        if (run({"ip", "netns", "add", client}) != 0) return false;
        made = true;
        std::ofstream(dir + "/nat.nft")
            << "table ip kelnat {\n"
               " chain pre {\n  type nat hook prerouting priority -100;\n"
               "  iifname \"" +
                   vc + "\" udp dport 41000 dnat to 10.77.0.1:46000\n  iifname \"" + vc +
                   "\" udp dport 41001 dnat to 10.77.0.1:46001\n }\n"
                   " chain post {\n  type nat hook postrouting priority 100;\n"
                   "  oifname \"" +
                   vc + "\" udp sport 46000 snat to 10.77.0.1:41000\n  oifname \"" + vc +
                   "\" udp sport 46001 snat to 10.77.0.1:41001\n }\n"
                   " chain in {\n  type filter hook input priority 0;\n"
                   "  iifname \"" +
                   vc + "\" udp dport { 46000, 46001 } ct status snat accept\n  iifname \"" + vc +
                   "\" udp dport { 46000, 46001 } ct status dnat accept\n  iifname \"" + vc +
                   "\" udp dport { 46000, 46001 } drop\n }\n}\n";
        const std::vector<std::vector<std::string>> steps = {
            {"ip", "netns", "add", server},
            {"ip", "link", "add", vc, "netns", client, "type", "veth", "peer", "name", vs, "netns", server},
            {"ip", "-n", client, "addr", "add", "10.77.0.1/24", "dev", vc},
            {"ip", "-n", server, "addr", "add", "10.77.0.2/24", "dev", vs},
            {"ip", "-n", server, "addr", "add", "100.64.0.1/32", "dev", "lo"},
            {"ip", "-n", server, "addr", "add", "100.64.0.2/32", "dev", "lo"},
            {"ip", "-n", client, "link", "set", vc, "up"},
            {"ip", "-n", server, "link", "set", vs, "up"},
            {"ip", "-n", client, "link", "set", "lo", "up"},
            {"ip", "-n", server, "link", "set", "lo", "up"},
            {"ip", "-n", client, "route", "add", "100.64.0.0/24", "via", "10.77.0.2"},
            // The servers answer from their own addresses, not the link's.
            {"ip", "-n", server, "route", "change", "10.77.0.0/24", "dev", vs, "src", "100.64.0.2"},
            {"ip", "netns", "exec", client, "nft", "-f", dir + "/nat.nft"},
        };
        for (const auto& s : steps)
            if (run(s) != 0) return false;
        return true;
    }
    ~Namespaces()
    {
        if (!made) return;
        (void)run({"ip", "netns", "del", client});
        (void)run({"ip", "netns", "del", server});
    }
};

TEST(kelIPSessionSTUNInterop, PublicPortsFromSTUNCarryTheStreamThroughTheNat)
{
    for (const char* tool : {"ip", "nft", "turnserver"})
        if (!kelTestProcess::available(tool))
            GTEST_SKIP() << tool
                         << " is not installed (scripts/install-deps installs iproute2, nftables, coturn)";
    if (kelTestProcess::runToEnd({"/usr/bin/python3", "-c",
                                  "import gi; gi.require_version('GstRtspServer', '1.0'); "
                                  "from gi.repository import GstRtspServer"},
                                 20000) != 0)
        GTEST_SKIP() << "GStreamer's RTSP server is not installed (python3-gi, gir1.2-gst-rtsp-server-1.0)";
    if (::geteuid() != 0) GTEST_SKIP() << "network namespaces and nftables need root";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    Namespaces ns;
    if (!ns.make(dir.path()))
        GTEST_SKIP() << "could not make the namespaces and the NAT (no CAP_SYS_ADMIN / NET_ADMIN?)";

    kelTestProcess turn;
    ASSERT_TRUE(turn.start({"ip", "netns", "exec", ns.server, "turnserver", "-n", "--stun-only", "-L",
                            "100.64.0.1", "-p", "3478", "--no-cli", "--no-tls", "--no-dtls", "--log-file",
                            "stdout", "--pidfile", dir.path() + "/turn.pid"},
                           dir.path() + "/turn.log"));
    kelTestProcess rtsp;
    ASSERT_TRUE(rtsp.start({"ip", "netns", "exec", ns.server, "/usr/bin/python3",
                            KEL_SOURCE_DIR "/tests/interop/kelRTSPGstServer.py", "100.64.0.2"},
                           dir.path() + "/rtsp.log"));
    const auto line = rtsp.waitLine("PORT ", 20000);
    ASSERT_TRUE(line.has_value()) << rtsp.log();

    // The receiver is made and opened on a thread inside the client
    // namespace; every thread and socket it makes stays there.
    std::thread inside([&] {
        const int fd = ::open(("/var/run/netns/" + ns.client).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::setns(fd, CLONE_NEWNET), 0);
        ::close(fd);
        // The STUN server takes a moment to listen: asked until it answers.
        ASSERT_TRUE(kelTestWaitUntil(
            [&] {
                uint32_t ip = 0;
                uint16_t mapped = 0, bound = 0;
                return getSTUNMappedAddress(u"100.64.0.1", ip, mapped, bound, u"3478", kelSTUNProtoUDP, 1000);
            },
            20000))
            << turn.log();
        kelOwned<TkelIPReceiver> r(kelCreate<TkelIPReceiver>());
        kelOwned<kelTestByteSink> sink(kelCreate<kelTestByteSink>());
        ASSERT_TRUE(r->addConsumer(sink.get()));
        r->setBind2port(u"46000");
        r->setSTUNserver(u"stun:100.64.0.1:3478");
        r->setURI(utf8ToUtf16("rtsp://100.64.0.2:" + line->substr(5) + "/s"));
        ASSERT_TRUE(r->open()) << utf16ToUtf8(r->descriptionError());
        EXPECT_TRUE(kelTestWaitUntil([&] { return sink->size() >= 16000 || !r->active(); }, 30000))
            << utf16ToUtf8(r->descriptionError());
        EXPECT_GE(sink->size(), 16000u)
            << utf16ToUtf8(r->descriptionError()) << " foreign " << r->rec()->foreignCount() << "\n"
            << rtsp.log();
        EXPECT_EQ(utf16ToUtf8(r->portLocal()), "46000");
        EXPECT_TRUE(r->active());
        r->close();
    });
    inside.join();
    rtsp.stop();
    turn.stop();
}

} // namespace
