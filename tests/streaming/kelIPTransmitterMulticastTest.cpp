// A multicast rtp URI: the transmitter sends to the group. Run in a network
// namespace of its own whose only interface is a loopback carrying the
// multicast route, so that nothing can leave the machine.
//
// The namespace is made in a fresh run of this program (a threadsafe death
// test executes it again), not in a fork of this process: threads that
// earlier tests' components left unwinding may still be alive here, and the
// forked child of a threaded process must not start threads of its own.

#include "streaming/kelIPStreaming.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kGroup = 0xEFFF0007; // 239.255.0.7
constexpr uint16_t kPort = 5004;

// Loopback up with multicast, and 224.0.0.0/4 routed through it.
bool loopbackCarriesMulticast()
{
    const int ctl = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (ctl < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(ctl, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_MULTICAST);
    ok = ok && ::ioctl(ctl, SIOCSIFFLAGS, &ifr) == 0;
    rtentry route{};
    auto* dst = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    dst->sin_family = AF_INET;
    dst->sin_addr.s_addr = htonl(0xE0000000);
    auto* mask = reinterpret_cast<sockaddr_in*>(&route.rt_genmask);
    mask->sin_family = AF_INET;
    mask->sin_addr.s_addr = htonl(0xF0000000);
    route.rt_flags = RTF_UP;
    char dev[] = "lo";
    route.rt_dev = dev;
    ok = ok && ::ioctl(ctl, SIOCADDRT, &route) == 0;
    ::close(ctl);
    return ok;
}

// Whether this process may make a network namespace: asked in a child that
// only tries and exits.
bool namespacesAllowed()
{
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) ::_exit(::unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The fresh process's side: 0 on success, else the step that failed.
int textToTheGroup()
{
    if (::unshare(CLONE_NEWNET) != 0) return 1;
    if (!loopbackCarriesMulticast()) return 2;
    const int listener = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kPort);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return 3;
    ip_mreq join{};
    join.imr_multiaddr.s_addr = htonl(kGroup);
    join.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    if (::setsockopt(listener, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) return 4;

    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    tx->setURI(u"rtp://239.255.0.7:5004");
    // A group is where we send, not where we bind.
    if (tx->socketType() != kelIPSocketMulticast || tx->bind2ip() != u"0.0.0.0" || tx->bind2port() != u"0")
        return 5;
    if (!tx->open()) return 6;
    if (tx->rootDestCount() != 1) return 7;
    if (tx->sendText(u"m") != kelS_OK) return 8;
    int result = 9;
    for (int round = 0; round < 100 && result != 0; ++round) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        uint8_t buf[64];
        const ssize_t n = ::recv(listener, buf, sizeof buf, 0);
        if (n == 13 && (buf[1] & 0x7F) == 113 && buf[12] == 'm') result = 0;
    }
    tx->close();
    ::close(listener);
    return result;
}

[[noreturn]] void exitWithTextToTheGroup()
{
    const int step = textToTheGroup();
    if (step != 0) std::fprintf(stderr, "failed at step %d\n", step);
    ::_exit(step);
}

} // namespace

TEST(kelIPTransmitterMulticastTest, MulticastURISendsToTheGroup)
{
    if (!namespacesAllowed())
        GTEST_SKIP()
            << "no network namespace could be made (needs CAP_SYS_ADMIN): multicast is not tried on the host";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWithTextToTheGroup(), ::testing::ExitedWithCode(0), "");
}
