#include "tests/support/kelTestNet.h"
#include "net/sockets/kelSockets.h"

#include "core/kelTick.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A UDP socket bound to 127.0.0.1 on an ephemeral port.
struct BoundUdp
{
    kelUdpSocket sock;
    uint16_t port = 0;

    BoundUdp()
    {
        sock.setBindToIP(u"127.0.0.1");
        EXPECT_EQ(sock.bindSocketToPort(0), 0);
        sockaddr_in a{};
        EXPECT_EQ(sock.getSockAddrBound(a), 0);
        port = ntohs(a.sin_port);
    }
};

} // namespace

TEST(kelUdpSocketTest, SendToAndReceiveFromWithTheSender)
{
    BoundUdp rx;
    BoundUdp tx;
    EXPECT_TRUE(rx.sock.isActive()); // a bound datagram socket is usable at once
    EXPECT_EQ(tx.sock.sendto(kelTestLoopback(rx.port), "ping", 4), 0);
    char buf[64];
    sockaddr_in from{};
    EXPECT_EQ(rx.sock.recvfrom(&from, buf, sizeof buf, false, 0, 3000), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_EQ(ntohs(from.sin_port), tx.port);
    EXPECT_EQ(ipN2str(from.sin_addr.s_addr), u"127.0.0.1");
    // Nothing more: the timed check reports -2.
    const uint64_t start = tickNow();
    EXPECT_EQ(rx.sock.recvfrom(&from, buf, sizeof buf, false, 0, 200), -2);
    EXPECT_GE(ticksSince(start), 195u);
}

TEST(kelUdpSocketTest, LargeSendsSplitIntoDatagramsOfTheMTU)
{
    BoundUdp rx;
    ASSERT_EQ(rx.sock.setRcvBufSize(1 << 20), 0);
    kelUdpSocket tx;
    ASSERT_NE(tx.getSocket(), kelInvalidSocket);
    EXPECT_EQ(tx.getMTU(), 65507u);
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(tx.sendto(kelTestLoopback(rx.port), data.data(), static_cast<uint32_t>(data.size())), 0);

    std::vector<uint8_t> got(70000);
    const int first = rx.sock.recvfrom(nullptr, got.data(), 70000, false, 0, 3000);
    ASSERT_EQ(first, 65507);
    const int second = rx.sock.recvfrom(nullptr, got.data() + first, 70000 - first, false, 0, 3000);
    ASSERT_EQ(second, 70000 - 65507);
    EXPECT_EQ(got, data);
}

TEST(kelUdpSocketTest, EmptyDatagramIsSent)
{
    BoundUdp rx;
    kelUdpSocket tx;
    EXPECT_EQ(tx.sendto(kelTestLoopback(rx.port), nullptr, 0), 0);
    char buf[4];
    EXPECT_EQ(rx.sock.recvfrom(nullptr, buf, sizeof buf, false, 0, 3000), 0);
}

TEST(kelUdpSocketTest, OversizedDatagramReportsMsgSizeAndKeepsItsStart)
{
    BoundUdp rx;
    kelUdpSocket tx;
    EXPECT_EQ(tx.sendto(kelTestLoopback(rx.port), "0123456789", 10), 0);
    char buf[4];
    EXPECT_EQ(rx.sock.recvfrom(nullptr, buf, sizeof buf, false, 0, 3000), kelSocketError);
    EXPECT_EQ(kelWSAGetLastError(), WSAEMSGSIZE);
    EXPECT_EQ(std::string(buf, 4), "0123");
}

TEST(kelUdpSocketTest, ReceiveAfterPortUnreachableReportsConnReset)
{
    // A port that was just released: nothing answers there but ICMP.
    uint16_t closed;
    {
        BoundUdp gone;
        closed = gone.port;
    }
    kelUdpSocket s;
    s.setHost(u"127.0.0.1");
    s.setPort(closed);
    s.setBindToIP(u"127.0.0.1");
    ASSERT_EQ(s.connect(), 0);
    EXPECT_EQ(s.send("x", 1), 0);
    char buf[8];
    EXPECT_EQ(s.recvfrom(nullptr, buf, sizeof buf, false, 0, 3000), kelSocketError);
    EXPECT_EQ(kelWSAGetLastError(), WSAECONNRESET);
    // The same through read(), which then closes the socket.
    EXPECT_EQ(s.send("y", 1), 0);
    uint32_t size = sizeof buf;
    ASSERT_TRUE(s.okToRead(3000));
    EXPECT_EQ(s.read(buf, size, 0, true), WSAECONNRESET);
    EXPECT_EQ(s.handle(), kelInvalidSocket);
}

TEST(kelUdpSocketTest, OptionsUseTheLibraryNumbering)
{
    kelUdpSocket s;
    ASSERT_NE(s.getSocket(), kelInvalidSocket);
    EXPECT_EQ(s.setOptBool(kelSO_BROADCAST, true), 0);
    int native = 0;
    socklen_t len = sizeof native;
    ASSERT_EQ(::getsockopt(static_cast<int>(s.handle()), SOL_SOCKET, SO_BROADCAST, &native, &len), 0);
    EXPECT_EQ(native, 1);
    EXPECT_EQ(s.setOptInt(0x7777, 1), WSAENOPROTOOPT);
    EXPECT_FALSE(s.isListening());

    // Millisecond receive timeouts become a timeval.
    const uint32_t ms = 1500;
    ASSERT_EQ(kelSetSockOpt(s.handle(), kelSOL_SOCKET, kelSO_RCVTIMEO, &ms, sizeof ms), 0);
    timeval tv{};
    len = sizeof tv;
    ASSERT_EQ(::getsockopt(static_cast<int>(s.handle()), SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 1);
    EXPECT_EQ(tv.tv_usec, 500000);

    uint32_t nb = 1;
    EXPECT_EQ(s.ioctl(kelFIONBIO, &nb), 0);
    char buf[4];
    EXPECT_EQ(s.recvfrom(nullptr, buf, sizeof buf, true), kelSocketError);
    EXPECT_EQ(kelWSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(s.ioctl(0x12345678, &nb), WSAEINVAL);
}

TEST(kelMulticastSocketTest, AddressesThatDoNotConvertAreRefused)
{
    kelMulticastSocket m;
    m.setBindToIP(u"127.0.0.1");
    EXPECT_EQ(m.mjoin(u"not-a-group", kelMJoinReceive, 1, false), WSAEADDRNOTAVAIL);
    EXPECT_EQ(m.mleave(), WSAEADDRNOTAVAIL); // no group joined
    EXPECT_EQ(m.setIF(u"0.0.0.0"), WSAEADDRNOTAVAIL);
    EXPECT_EQ(m.setIF(u"bogus"), WSAEADDRNOTAVAIL);
}

TEST(kelMulticastSocketTest, SendSideSetsTtlLoopAndTarget)
{
    // Only socket options are set here: nothing is sent to the group.
    kelMulticastSocket m;
    m.setPort(5004);
    m.setBindToIP(u"127.0.0.1");
    ASSERT_EQ(m.mjoin(u"239.255.0.1", kelMJoinSend, 3, true), 0);
    EXPECT_EQ(m.ttl(), 3u);
    EXPECT_EQ(ipN2str(m.senderAddr().sin_addr.s_addr), u"239.255.0.1");
    EXPECT_EQ(ntohs(m.senderAddr().sin_port), 5004);
    const int fd = static_cast<int>(m.handle());
    int v = -1;
    socklen_t len = sizeof v;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &v, &len), 0);
    EXPECT_EQ(v, 3);
    unsigned char loop = 1;
    len = sizeof loop;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, &len), 0);
    EXPECT_EQ(loop, 0);
    in_addr intf{};
    len = sizeof intf;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &intf, &len), 0);
    EXPECT_EQ(intf.s_addr, htonl(INADDR_LOOPBACK));
    m.setTtl(0);
    len = sizeof v;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &v, &len), 0);
    EXPECT_EQ(v, 0);
}

namespace {

// Child side of the group test, in a network namespace of its own whose only
// interface is a loopback with multicast on: nothing can leave the machine.
// Returns the exit code: 0 success, 77 no namespace, other values a step.
int groupRoundTripInPrivateNamespace()
{
    if (::unshare(CLONE_NEWNET) != 0) return 77;
    const int ctl = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (ctl < 0 || ::ioctl(ctl, SIOCGIFFLAGS, &ifr) != 0) return 2;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_MULTICAST);
    if (::ioctl(ctl, SIOCSIFFLAGS, &ifr) != 0) return 3;
    ::close(ctl);

    kelMulticastSocket rx;
    rx.setBindToIP(u"127.0.0.1"); // the interface to join on
    if (!rx.setBindToPort(u"5004")) return 4;
    if (rx.mjoin(u"239.255.0.1", kelMJoinReceive, 0, false) != 0) return 5;
    if (rx.lastGroup() != u"239.255.0.1") return 6;

    kelMulticastSocket tx;
    tx.setBindToIP(u"127.0.0.1");
    tx.setPort(5004);
    if (tx.mjoin(u"239.255.0.1", kelMJoinSend, 1, false) != 0) return 7;
    if (tx.sendData("group", 5) != 0) return 8;
    char buf[16];
    if (rx.recvfrom(nullptr, buf, sizeof buf, false, 0, 3000) != 5 || std::memcmp(buf, "group", 5) != 0)
        return 9;
    // Unicast to the port still arrives.
    kelUdpSocket uni;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(5004);
    if (uni.sendto(to, "u", 1) != 0 || rx.recvfrom(nullptr, buf, sizeof buf, false, 0, 3000) != 1) return 10;
    if (rx.mleave() != 0 || !rx.lastGroup().empty()) return 11;
    return 0;
}

} // namespace

TEST(kelMulticastSocketTest, JoinSendReceiveAndLeaveInAPrivateNamespace)
{
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(groupRoundTripInPrivateNamespace());
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespace could be made (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}

TEST(kelUdpSocketTest, CheckedReceiveTakesQueuedAndLateDatagramsAndTimesOutWithout)
{
    // The checked receive tries first and waits only when nothing is queued:
    // a queued datagram comes at once, one sent during the wait comes whole
    // after it, and none gives -2 when the wait ends.
    BoundUdp rx;
    BoundUdp tx;
    sockaddr_in to{};
    ASSERT_EQ(rx.sock.getSockAddrBound(to), 0);
    struct Case
    {
        const char* name;
        bool queued;
        bool late;
        int expected;
    };
    const Case cases[] = {
        {"queued", true, false, 5},
        {"late", false, true, 5},
        {"none", false, false, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.queued) {
            ASSERT_EQ(tx.sock.sendto(to, "hello", 5, 0, 1000, false), 0);
        }
        std::atomic<bool> waiting{false};
        std::thread sender;
        if (c.late)
            sender = std::thread([&] {
                while (!waiting.load())
                    std::this_thread::yield();
                (void)tx.sock.sendto(to, "hello", 5, 0, 1000, true);
            });
        char buf[64] = {};
        waiting = true;
        const int n = rx.sock.recvfrom(nullptr, buf, sizeof buf, false, 0, c.expected < 0 ? 100 : 10000);
        if (sender.joinable()) sender.join();
        EXPECT_EQ(n, c.expected);
        if (n > 0) {
            EXPECT_EQ(std::string(buf, size_t(n)), "hello");
        }
    }
}
