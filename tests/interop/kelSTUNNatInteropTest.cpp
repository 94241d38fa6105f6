// The STUN client behind a NAT: two network namespaces made by the test,
// joined by a veth pair; the client side rewrites the source of outgoing
// UDP into ports 40000-40100 (nftables), and coturn answers on the server
// side. The mapped address is the NAT's and its port is not the socket's.
// Needs root, ip and nft; skipped with the reason otherwise.
#include "net/protocols/kelSocks_STUN.h"
#include "tests/support/kelTestDnsPeers.h"
#include "tests/support/kelTestFiles.h"

#include "net/sockets/kelSockets.h"

#include <fcntl.h>
#include <sched.h>

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace {

int run(const std::vector<std::string>& args)
{
    return kelTestProcess::runToEnd(args, 20000);
}

// The two namespaces and their link; deleted with everything in them.
struct Namespaces
{
    std::string client = "kelnatc" + std::to_string(::getpid());
    std::string server = "kelnats" + std::to_string(::getpid());
    bool made = false;

    bool make(const std::string& dir)
    {
        const std::string vc = "kvc" + std::to_string(::getpid()), vs = "kvs" + std::to_string(::getpid());
        if (run({"ip", "netns", "add", client}) != 0) return false;
        made = true;
        std::ofstream(dir + "/nat.nft")
            << "table ip kelnat {\n chain post {\n  type nat hook postrouting priority 100;\n"
               "  oifname \"" +
                   vc + "\" meta l4proto udp snat to 10.77.0.1:40000-40100\n }\n}\n";
        const std::vector<std::vector<std::string>> steps = {
            {"ip", "netns", "add", server},
            {"ip", "link", "add", vc, "netns", client, "type", "veth", "peer", "name", vs, "netns", server},
            {"ip", "-n", client, "addr", "add", "10.77.0.1/24", "dev", vc},
            {"ip", "-n", server, "addr", "add", "10.77.0.2/24", "dev", vs},
            {"ip", "-n", client, "link", "set", vc, "up"},
            {"ip", "-n", server, "link", "set", vs, "up"},
            {"ip", "-n", client, "link", "set", "lo", "up"},
            {"ip", "-n", server, "link", "set", "lo", "up"},
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

TEST(kelSTUNNatInterop, ANatInANamespaceMapsAnotherPort)
{
    for (const char* tool : {"ip", "nft", "turnserver"})
        if (!kelTestProcess::available(tool))
            GTEST_SKIP() << tool
                         << " is not installed (scripts/install-deps installs iproute2, nftables, coturn)";
    if (::geteuid() != 0) GTEST_SKIP() << "network namespaces and nftables need root";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    Namespaces ns;
    if (!ns.make(dir.path()))
        GTEST_SKIP() << "could not make the namespaces and the NAT (no CAP_SYS_ADMIN / NET_ADMIN?)";

    kelTestProcess turn;
    ASSERT_TRUE(turn.start({"ip", "netns", "exec", ns.server, "turnserver", "-n", "--stun-only", "-L",
                            "10.77.0.2", "-p", "3478", "--no-cli", "--no-tls", "--no-dtls", "--log-file",
                            "stdout", "--pidfile", dir.path() + "/turn.pid"},
                           dir.path() + "/turn.log"));

    // The socket is made on a thread inside the client namespace; it stays
    // there whoever uses it.
    kelUdpSocket sock;
    bool inside = false;
    std::thread maker([&] {
        const int fd = ::open(("/var/run/netns/" + ns.client).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        inside =
            ::setns(fd, CLONE_NEWNET) == 0 && sock.getSocket(true) >= 0 && sock.bindSocketToPort(45000) == 0;
        ::close(fd);
    });
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
