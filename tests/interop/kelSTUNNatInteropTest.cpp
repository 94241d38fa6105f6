// The STUN client behind a NAT: two network namespaces made by the test,
// joined by a veth pair; the client side rewrites the source of outgoing
// UDP into ports 40000-40100 (nftables), and coturn answers on the server
// side. The mapped address is the NAT's and its port is not the socket's.
// Needs root, ip and nft; skipped with the reason otherwise.
#include "net/protocols/kelSocks_STUN.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestNatNamespaces.h"
#include "tests/support/kelTestWait.h"

#include "net/sockets/kelSockets.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(kelSTUNNatInterop, ANatInANamespaceMapsAnotherPort)
{
    const std::string missing = kelTestNatNamespaces::missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    kelTestNatNamespaces ns("kn");
    if (!ns.make(dir.path(), "table ip kelnat {\n chain post {\n  type nat hook postrouting priority 100;\n"
                             "  oifname \"" +
                                 ns.clientLink +
                                 "\" meta l4proto udp snat to 10.77.0.1:40000-40100\n }\n}\n"))
        GTEST_SKIP() << "could not make the namespaces and the NAT (no CAP_SYS_ADMIN / NET_ADMIN?)";

    kelTestProcess turn;
    ASSERT_TRUE(ns.startStunServer(turn, kelTestNatNamespaces::kServerAddress, dir.path()));

    // The socket is made on a thread inside the client namespace; it stays
    // there whoever uses it.
    kelUdpSocket sock;
    bool inside = false;
    std::thread maker(
        [&] { inside = ns.enterClient() && sock.getSocket(true) >= 0 && sock.bindSocketToPort(45000) == 0; });
    maker.join();
    ASSERT_TRUE(inside);

    uint32_t ip = 0;
    uint16_t mapped = 0, bound = 0;
    // The server takes a moment to listen: ask until it answers.
    ASSERT_TRUE(kelTestWaitUntil(
        [&] {
            return getSTUNMappedAddress(u"10.77.0.2", ip, mapped, bound, u"3478", kelSTUNProtoUDP, 1000,
                                        false, &sock);
        },
        20000))
        << turn.log();
    EXPECT_EQ(ip, 0x0A4D0001u); // 10.77.0.1
    EXPECT_EQ(bound, 45000);
    EXPECT_GE(mapped, 40000);
    EXPECT_LE(mapped, 40100);
    turn.stop();
}

} // namespace
