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
#include "tests/support/kelTestNatNamespaces.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(kelIPSessionSTUNInterop, PublicPortsFromSTUNCarryTheStreamThroughTheNat)
{
    const std::string missing = kelTestNatNamespaces::missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    if (kelTestProcess::runToEnd({"/usr/bin/python3", "-c",
                                  "import gi; gi.require_version('GstRtspServer', '1.0'); "
                                  "from gi.repository import GstRtspServer"},
                                 20000) != 0)
        GTEST_SKIP() << "GStreamer's RTSP server is not installed (python3-gi, gir1.2-gst-rtsp-server-1.0)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    kelTestNatNamespaces ns("ks");
    const std::string& vc = ns.clientLink;
    // Inbound 41000/41001 go to 46000/46001 and outbound the other way;
    // 46000/46001 take nothing that was not mapped.
    const std::string nat = "table ip kelnat {\n"
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
    const std::vector<std::vector<std::string>> addresses = {
        {"ip", "-n", ns.server, "addr", "add", "100.64.0.1/32", "dev", "lo"},
        {"ip", "-n", ns.server, "addr", "add", "100.64.0.2/32", "dev", "lo"},
        {"ip", "-n", ns.client, "route", "add", "100.64.0.0/24", "via", kelTestNatNamespaces::kServerAddress},
        // The servers answer from their own addresses, not the link's.
        {"ip", "-n", ns.server, "route", "change", "10.77.0.0/24", "dev", ns.serverLink, "src", "100.64.0.2"},
    };
    if (!ns.make(dir.path(), nat, addresses))
        GTEST_SKIP() << "could not make the namespaces and the NAT (no CAP_SYS_ADMIN / NET_ADMIN?)";

    kelTestProcess turn;
    ASSERT_TRUE(ns.startStunServer(turn, "100.64.0.1", dir.path()));
    kelTestProcess rtsp;
    ASSERT_TRUE(rtsp.start({"ip", "netns", "exec", ns.server, "/usr/bin/python3",
                            KEL_SOURCE_DIR "/tests/interop/kelRTSPGstServer.py", "100.64.0.2"},
                           dir.path() + "/rtsp.log"));
    const auto line = rtsp.waitLine("PORT ", 20000);
    ASSERT_TRUE(line.has_value()) << rtsp.log();

    // The receiver is made and opened on a thread inside the client
    // namespace; every thread and socket it makes stays there.
    std::thread inside([&] {
        ASSERT_TRUE(ns.enterClient());
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
