#include "net/sockets/kelSockets.h"

#include "core/kelTick.h"
#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <thread>

TEST(kelSockAddrTest, DottedQuadConversions)
{
    EXPECT_EQ(str2ipH(u"192.168.1.2"), 0xC0A80102u);
    EXPECT_EQ(str2ipN(u"192.168.1.2"), htonl(0xC0A80102u));
    EXPECT_EQ(ipH2str(0xC0A80102u), u"192.168.1.2");
    EXPECT_EQ(ipN2str(htonl(0x7F000001u)), u"127.0.0.1");
    EXPECT_EQ(str2ipN(u"not.an.address"), INADDR_NONE);
    EXPECT_EQ(str2ipN(u""), INADDR_NONE);
}

TEST(kelSockAddrTest, MulticastBroadcastAndReservedClasses)
{
    EXPECT_TRUE(isMulticastAddr(u"224.0.0.1"));
    EXPECT_TRUE(isMulticastAddr(u"239.255.0.1"));
    EXPECT_FALSE(isMulticastAddr(u"240.0.0.1"));
    EXPECT_FALSE(isMulticastAddr(u"223.255.255.255"));
    EXPECT_TRUE(isBroadcastAddrN(str2ipN(u"192.168.1.255")));
    EXPECT_FALSE(isBroadcastAddrN(str2ipN(u"255.1.1.1")));
    EXPECT_TRUE(isBroadcastAddrN(str2ipN(u"127.255.255.255")));

    const std::pair<const char16_t*, bool> reserved[] = {
        {u"0.1.2.3", true},      {u"10.255.0.1", true},      {u"127.0.0.1", true},
        {u"169.254.9.9", true},  {u"169.253.9.9", false},    {u"172.15.255.255", false},
        {u"172.16.0.0", true},   {u"172.31.255.255", true},  {u"172.32.0.0", false},
        {u"192.0.0.200", true},  {u"192.0.1.1", false},      {u"192.0.2.7", true},
        {u"192.168.44.1", true}, {u"198.17.255.255", false}, {u"198.19.255.255", true},
        {u"198.20.0.0", false},  {u"198.51.100.5", true},    {u"203.0.113.9", true},
        {u"203.0.114.9", false}, {u"8.8.8.8", false},
    };
    for (const auto& [ip, want] : reserved) {
        const kelString text = ip;
        EXPECT_EQ(isReservedAddrH(str2ipH(text)), want) << std::string(text.begin(), text.end());
    }
}

TEST(kelSockAddrTest, LookupOfLiteralsAndOfThisMachine)
{
    kelString ip;
    std::vector<kelString> list;
    EXPECT_EQ(lookupHost(u"127.0.0.7", ip, &list), 0);
    EXPECT_EQ(ip, u"127.0.0.7");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(hostToIpH(u"127.0.0.1", 0), 0x7F000001u);
    EXPECT_EQ(lookupHostAddr(u"10.0.0.1"), 0);

    // The empty host lists this machine's interface addresses, loopback
    // only when there is nothing else.
    list.clear();
    ASSERT_EQ(lookupHost(u"", ip, &list), 0);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(ip, list.front());
    if (list.size() > 1 || list.front() != u"127.0.0.1") {
        for (const kelString& a : list)
            EXPECT_NE(str2ipH(a) >> 24, 127u);
    }
}

TEST(kelSockAddrTest, LookupThatCannotTakeTheLockReportsAnError)
{
    kelWSA* wsa = socketsSharedWSA();
    ASSERT_NE(wsa, nullptr);
    std::atomic<bool> held{false};
    std::atomic<bool> done{false};
    std::thread holder([&] {
        kelLock lock(wsa, false, 1000);
        held = lock.held();
        while (!done)
            kelSleepMs(5);
    });
    while (!held)
        kelSleepMs(1);
    kelString ip = u"stale";
    const uint64_t start = tickNow();
    EXPECT_NE(lookupHost(u"127.0.0.1", ip), 0);
    EXPECT_GE(ticksSince(start), 2900u);
    EXPECT_TRUE(ip.empty());
    EXPECT_EQ(hostToIpH(u"127.0.0.1", 42u), 42u);
    done = true;
    holder.join();
}

TEST(kelSockAddrTest, PortsFromNumbersAndProtocolNames)
{
    EXPECT_EQ(portFromString(u"5004"), 5004);
    EXPECT_EQ(portFromString(u" 554 "), 554);
    EXPECT_EQ(portFromString(u"udp"), 17);
    EXPECT_EQ(portFromString(u"TCP"), 6);
    EXPECT_EQ(portFromString(u"0"), 0);
    EXPECT_EQ(portFromString(u"65535"), 65535);
    // Failures never read as a port.
    EXPECT_EQ(portFromString(u""), -1);
    EXPECT_EQ(portFromString(u"65536"), -1);
    EXPECT_EQ(portFromString(u"nosuchproto"), -1);
    EXPECT_EQ(portFromString(u"-5"), -1);

    kelProtoEnt e;
    e.p_proto = 99;
    EXPECT_EQ(resolvePort(u"nosuchproto", e), WSANO_DATA);
    EXPECT_EQ(e.p_proto, 99);
    EXPECT_EQ(resolvePort(u"", e), -1);
    EXPECT_EQ(resolvePort(u"17", e), 0);
    EXPECT_EQ(e.p_name, "udp");

    kelUdpSocket s;
    EXPECT_TRUE(s.setPort(u"udp"));
    EXPECT_EQ(s.getPortInt(), 17);
    EXPECT_FALSE(s.setPort(u"bogus"));
    EXPECT_EQ(s.getPortInt(), 17);
    EXPECT_TRUE(s.setBindToPort(u"40000"));
    EXPECT_EQ(s.bindToPort(), u"40000");
}

TEST(kelSockAddrTest, StartupIsCountedAndTheSharedRecordStays)
{
    kelWSA* before = socketsSharedWSA();
    ASSERT_NE(before, nullptr);
    EXPECT_TRUE(before->isActive());
    EXPECT_EQ(socketsStartup(), 0);
    EXPECT_EQ(socketsShutdown(), 0);
    EXPECT_EQ(socketsSharedWSA(), before);
    kelUdpSocket s;
    EXPECT_EQ(s.getGeneralMTU(), 1500u);
    EXPECT_EQ(socketsThreadPoolCeiling().load(), 256);

    kelWSA own(false);
    EXPECT_EQ(own.getStatus(), WSASYSNOTREADY);
    EXPECT_EQ(own.startup(0x0101), 0);
    EXPECT_EQ(own.startup(0x0001), WSAVERNOTSUPPORTED);
}
