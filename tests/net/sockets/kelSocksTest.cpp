// The socket manager seen from its owner, in both modes (plain socket
// threads, completion-port threads): events, ids and data on the wire of
// 127.0.0.1, the pool's claims, removals and closes from inside handlers,
// UDP parties, and sends to a peer that stops reading.
#include "tests/support/kelTestSocks.h"

#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "net/sockets/kelSockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace {

class kelSocksTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        socks.reset(kelCreate<kelSocks>(4, GetParam()));
        ASSERT_TRUE(socks);
        ASSERT_EQ(socks->isIOCP(), GetParam());
        socks->setClock(clock);
        rec.attach(*socks);
    }
    void TearDown() override { socks.reset(); }

    uint32_t tcpServer()
    {
        const uint32_t id = socks->createServer(0, kelIPPROTO_TCP, true, 16, 0, u"127.0.0.1");
        EXPECT_NE(id, 0u);
        EXPECT_TRUE(rec.waitFor(kelseServerListen));
        return id;
    }
    uint32_t udpServer(intptr_t timeout = 0, bool activate = true)
    {
        const uint32_t id = socks->createServer(0, kelIPPROTO_UDP, activate, 5, timeout, u"127.0.0.1");
        EXPECT_NE(id, 0u);
        if (activate) {
            EXPECT_TRUE(rec.waitFor(kelseServerListen));
        }
        return id;
    }

    kelManualClock clock;
    kelTestSocksRecorder rec;
    kelOwned<kelSocks> socks;
};

std::string tagged(uint32_t seq)
{
    char b[16];
    std::snprintf(b, sizeof b, "%08u", seq);
    return b;
}

} // namespace

TEST_P(kelSocksTest, TcpServerRaisesItsEventsWithTheirIdsAndEveryByteBeforeTheDisconnect)
{
    const uint32_t id = tcpServer();
    EXPECT_EQ(id, kelSocks::kFirstThreadId);
    const kelTestSocksEvent opt = rec.first(kelseThreadAdjustSocketOptions);
    EXPECT_EQ(opt.rawData, reinterpret_cast<void*>(1));
    const std::string payload = kelTestSocksPattern(300000);
    {
        kelTestFd peer = kelTestFd::tcpConnect(kelTestSocksPort(*socks, id));
        ASSERT_GE(peer.get(), 0);
        ASSERT_TRUE(rec.waitFor(kelseServerConnect));
        ASSERT_TRUE(peer.sendAll(payload));
    } // closed right after the last byte
    ASSERT_TRUE(rec.waitFor(kelseServerDisconnect));
    const kelTestSocksEvent c = rec.first(kelseServerConnect);
    EXPECT_EQ(c.connId, 4001u);
    EXPECT_EQ(c.size, 0u);
    EXPECT_EQ(rec.data(4001), payload);
    // Data ids carry a tag in the top byte; the disconnect comes after all.
    const kelTestSocksEvent d = rec.first(kelseServerData);
    EXPECT_EQ(d.connId & 0xFFFFFFu, 4001u);
    if (!GetParam()) {
        EXPECT_EQ(d.connId >> 24, 0x7Fu);
    }
    EXPECT_GT(rec.indexOf(kelseServerDisconnect), rec.lastIndexOf(kelseServerData));
    // An accepted socket's options event has no data pointer.
    bool acceptedOpt = false;
    for (const auto& ev : rec.events())
        acceptedOpt |= ev.event == kelseThreadAdjustSocketOptions && ev.rawData == nullptr;
    EXPECT_TRUE(acceptedOpt);
    EXPECT_TRUE(socks->closeThread(id));
    EXPECT_EQ(rec.count(kelseServerStop), 1u);
}

TEST_P(kelSocksTest, ServerEchoesThroughSendDataAndRefusesUnknownTargets)
{
    rec.hook = [](kelSocks* s, const kelTestSocksEvent& ev) {
        if (ev.event == kelseServerData) {
            EXPECT_EQ(s->sendData(ev.id, ev.data.data(), static_cast<uint32_t>(ev.data.size()),
                                  kelSocksConnId(ev.connId)),
                      0);
        }
    };
    const uint32_t id = tcpServer();
    kelTestFd peer = kelTestFd::tcpConnect(kelTestSocksPort(*socks, id));
    ASSERT_TRUE(peer.sendAll("hello, manager"));
    EXPECT_EQ(peer.receive(14), "hello, manager");
    EXPECT_EQ(socks->sendData(id, "x", 1, 4999), WSAENOTCONN);
    EXPECT_EQ(socks->sendData(9999, "x", 1, 4001), WSAENOTCONN);
    EXPECT_EQ(socks->createServer(0, 1), 0u);
}

TEST_P(kelSocksTest, ConcurrentCreatesClaimDistinctThreadsAndARecycledThreadStartsAgain)
{
    socks->setPoolSize(1);
    for (int round = 0; round < 5; ++round) {
        std::atomic<uint32_t> a{0}, b{0};
        std::thread t1([&] { a = socks->createServer(0, kelIPPROTO_UDP, true, 5, 0, u"127.0.0.1"); });
        std::thread t2([&] { b = socks->createServer(0, kelIPPROTO_UDP, true, 5, 0, u"127.0.0.1"); });
        t1.join();
        t2.join();
        ASSERT_NE(a.load(), 0u);
        ASSERT_NE(b.load(), 0u);
        EXPECT_NE(a.load(), b.load());
        ASSERT_TRUE(rec.waitFor(kelseServerListen, 2 * (round + 1)));
        // Closed and claimed again at once: the new run really runs.
        EXPECT_TRUE(socks->closeThread(a));
        EXPECT_TRUE(socks->closeThread(b));
    }
    const uint32_t again = udpServer();
    EXPECT_EQ(socks->getThreadByID(again)->status(), keltsRunning);
}

TEST_P(kelSocksTest, ASlowHandlerDoesNotHoldUpReceivingAndEveryDatagramComesInOrder)
{
    std::atomic<bool> release{false};
    rec.hook = [&](kelSocks*, const kelTestSocksEvent& ev) {
        if (ev.event == kelseServerData && ev.data == tagged(0))
            (void)kelTestWaitUntil([&] { return release.load(); });
    };
    const uint32_t id = udpServer();
    const uint16_t port = kelTestSocksPort(*socks, id);
    kelTestFd peer = kelTestFd::udp();
    ASSERT_TRUE(peer.sendTo(port, tagged(0)));
    ASSERT_TRUE(kelTestWaitUntil([&] { return rec.count(kelseServerConnect) == 1; }));
    // While the handler sits on the first datagram, the rest is still read
    // off the socket (in small bursts, which the kernel's buffer holds).
    const int total = 600;
    for (int i = 1; i < total; ++i) {
        ASSERT_TRUE(peer.sendTo(port, tagged(static_cast<uint32_t>(i))));
        if (i % 50 == 0) {
            ASSERT_TRUE(kelTestWaitUntil([&] {
                uint32_t pending = 0;
                (void)kelIoctlSocket(socks->getThreadByID(id)->threadSocket()->handle(), kelFIONREAD,
                                     &pending);
                return pending == 0;
            }));
        }
    }
    release = true;
    ASSERT_TRUE(rec.waitFor(kelseServerData, total));
    std::string expect;
    for (int i = 0; i < total; ++i)
        expect += tagged(static_cast<uint32_t>(i));
    EXPECT_EQ(rec.data(), expect);
}

TEST_P(kelSocksTest, RemovalsAndClosesFromHandlersTakeEffectAfterTheHandlerReturned)
{
    std::atomic<bool> inHandler{false};
    std::atomic<bool> disconnectInside{false};
    rec.hook = [&](kelSocks* s, const kelTestSocksEvent& ev) {
        if (ev.event == kelseServerDisconnect && inHandler) disconnectInside = true;
        if (ev.event == kelseServerData && ev.data == "remove") {
            inHandler = true;
            EXPECT_TRUE(s->removeConnection(ev.id, kelSocksConnId(ev.connId)));
            inHandler = false;
        }
        if (ev.event == kelseServerData && ev.data == "close") {
            inHandler = true;
            EXPECT_TRUE(s->closeThread(ev.id, 10000));
            inHandler = false;
        }
    };
    const uint32_t id = tcpServer();
    kelTestFd a = kelTestFd::tcpConnect(kelTestSocksPort(*socks, id));
    ASSERT_TRUE(a.sendAll("remove"));
    ASSERT_TRUE(rec.waitFor(kelseServerDisconnect));
    EXPECT_FALSE(disconnectInside.load());
    EXPECT_EQ(a.receive(1, 5000), ""); // the server closed its end
    kelTestFd b = kelTestFd::tcpConnect(kelTestSocksPort(*socks, id));
    ASSERT_TRUE(b.sendAll("close"));
    ASSERT_TRUE(rec.waitFor(kelseServerStop));
    EXPECT_TRUE(kelTestWaitUntil([&] { return !socks->getThreadByID(id)->claimed(); }));
}

TEST_P(kelSocksTest, UdpSizesItsBufferFromTheDatagramAndPassesOverEmptyOnes)
{
    const uint32_t id = udpServer();
    const uint16_t port = kelTestSocksPort(*socks, id);
    kelTestFd peer = kelTestFd::udp();
    const std::string big = kelTestSocksPattern(9000);
    ASSERT_TRUE(peer.sendTo(port, "first"));
    ASSERT_TRUE(peer.sendTo(port, ""));
    ASSERT_TRUE(peer.sendTo(port, big));
    ASSERT_TRUE(rec.waitFor(kelseServerData, 2));
    EXPECT_EQ(rec.data(), "first" + big);
    EXPECT_EQ(rec.count(kelseServerConnect), 1u);
    EXPECT_EQ(rec.count(kelseServerDisconnect), 0u);
    const kelTestSocksEvent c = rec.first(kelseServerConnect);
    ASSERT_EQ(c.size, sizeof(sockaddr_in));
    sockaddr_in from{};
    std::memcpy(&from, c.data.data(), sizeof from);
    EXPECT_EQ(ntohs(from.sin_port), peer.localPort());
}

TEST_P(kelSocksTest, UdpPartiesTimeOutOnTheClockEvenWhileOthersAreBusy)
{
    const uint32_t id = udpServer(10000);
    const uint16_t port = kelTestSocksPort(*socks, id);
    kelTestFd silent = kelTestFd::udp();
    kelTestFd busy = kelTestFd::udp();
    ASSERT_TRUE(silent.sendTo(port, "s"));
    ASSERT_TRUE(busy.sendTo(port, "b"));
    ASSERT_TRUE(rec.waitFor(kelseServerData, 2));
    clock.advanceMs(9000);
    EXPECT_FALSE(rec.waitFor(kelseServerDisconnect, 1, 300));
    clock.advanceMs(1001);
    // The busy party keeps the thread receiving all along.
    int n = 0;
    ASSERT_TRUE(kelTestWaitUntil([&] {
        (void)busy.sendTo(port, "b" + std::to_string(n++));
        return rec.count(kelseServerDisconnect) >= 1;
    }));
    const uint32_t silentId = static_cast<uint32_t>(rec.first(kelseServerConnect).connId);
    EXPECT_EQ(rec.first(kelseServerDisconnect).connId, silentId);
    EXPECT_EQ(rec.count(kelseServerDisconnect), 1u);
}

TEST_P(kelSocksTest, UdpPartiesAreCappedByRemovingTheLongestSilent)
{
    const uint32_t id = udpServer(0, false);
    socks->getThreadByID(id)->setMaxUdpParties(3);
    ASSERT_TRUE(socks->activate(id));
    ASSERT_TRUE(rec.waitFor(kelseServerListen));
    const uint16_t port = kelTestSocksPort(*socks, id);
    kelTestFd p[4] = {kelTestFd::udp(), kelTestFd::udp(), kelTestFd::udp(), kelTestFd::udp()};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(p[i].sendTo(port, "x"));
        ASSERT_TRUE(rec.waitFor(kelseServerData, static_cast<size_t>(i + 1)));
        clock.advanceMs(10);
    }
    ASSERT_TRUE(p[0].sendTo(port, "again")); // p[1] is now the longest silent
    ASSERT_TRUE(rec.waitFor(kelseServerData, 4));
    clock.advanceMs(10);
    ASSERT_TRUE(p[3].sendTo(port, "new"));
    ASSERT_TRUE(rec.waitFor(kelseServerDisconnect));
    EXPECT_EQ(rec.first(kelseServerDisconnect).connId, 4002u);
    EXPECT_EQ(rec.count(kelseServerConnect), 4u);
    EXPECT_EQ(socks->getThreadByID(id)->connections().count(), 3);
}

TEST_P(kelSocksTest, ASendToAPeerThatStopsReadingFailsWithinItsTimeoutAndRemovesTheConnection)
{
    rec.hook = [](kelSocks*, const kelTestSocksEvent& ev) {
        if (ev.event == kelseThreadAdjustSocketOptions && ev.rawData == nullptr) {
            int small = 4096;
            ::setsockopt(static_cast<int>(ev.connId), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        }
    };
    const uint32_t id = tcpServer();
    kelTestFd peer = kelTestFd::tcpConnect(kelTestSocksPort(*socks, id));
    int small = 4096;
    ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(rec.waitFor(kelseServerConnect));
    const std::string block(65536, 'z');
    int rc = 0;
    for (int i = 0; i < 200 && rc == 0; ++i)
        rc =
            socks->sendData(id, block.data(), static_cast<uint32_t>(block.size()), 4001, nullptr, false, 200);
    EXPECT_EQ(rc, WSAENOBUFS);
    EXPECT_TRUE(rec.waitFor(kelseServerDisconnect));
    EXPECT_EQ(socks->sendData(id, "x", 1, 4001), WSAENOTCONN);
}

TEST_P(kelSocksTest, ClientGetsEveryByteBeforeItsDisconnectAndNoServerEvent)
{
    uint16_t port = 0;
    kelTestFd listener = kelTestFd::tcpListen(port);
    const uint32_t id = socks->createConnection(u"127.0.0.1", port, kelIPPROTO_TCP);
    ASSERT_NE(id, 0u);
    kelTestFd server = listener.accept();
    ASSERT_GE(server.get(), 0);
    ASSERT_TRUE(rec.waitFor(kelseClientConnect));
    EXPECT_EQ(rec.first(kelseClientConnect).connId, 4000u);
    EXPECT_EQ(socks->sendData(id, "ping", 4, 4000), 0);
    EXPECT_EQ(server.receive(4), "ping");
    const std::string payload = kelTestSocksPattern(200000, 3);
    ASSERT_TRUE(server.sendAll(payload));
    server.reset();
    ASSERT_TRUE(rec.waitFor(kelseClientDisconnect));
    EXPECT_EQ(rec.data(4000), payload);
    EXPECT_GT(rec.indexOf(kelseClientDisconnect), rec.lastIndexOf(kelseClientData));
    EXPECT_EQ(rec.first(kelseClientDisconnect).connId, 4000u);
    EXPECT_EQ(rec.count(kelseServerDisconnect), 0u);
    EXPECT_TRUE(kelTestWaitUntil([&] { return !socks->getThreadByID(id)->claimed(); }));
}

TEST_P(kelSocksTest, StartFailuresRaiseTheStartupErrorWithTheirIds)
{
    uint16_t port = 0;
    {
        kelTestFd gone = kelTestFd::tcpListen(port);
    } // nobody listens there now
    const uint32_t client = socks->createConnection(u"127.0.0.1", port, kelIPPROTO_TCP);
    ASSERT_TRUE(rec.waitFor(kelseThreadStartupError));
    EXPECT_EQ(rec.first(kelseThreadStartupError).connId, 4000u);
    EXPECT_EQ(socks->getThreadByID(client)->socketError(), WSAECONNREFUSED);
    kelTestFd taken = kelTestFd::udp();
    (void)socks->createServer(taken.localPort(), kelIPPROTO_UDP, true, 5, 0, u"127.0.0.1");
    ASSERT_TRUE(rec.waitFor(kelseThreadStartupError, 2));
    std::vector<uintptr_t> ids;
    for (const auto& ev : rec.events())
        if (ev.event == kelseThreadStartupError) ids.push_back(ev.connId);
    EXPECT_EQ(ids, (std::vector<uintptr_t>{4000u, 3999u}));
    EXPECT_EQ(rec.count(kelseClientConnect), 0u);
}

TEST_P(kelSocksTest, ClientConnectEndsOnStop)
{
    // A listener whose backlog is full answers no further connect.
    uint16_t port = 0;
    kelTestFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = kelTestLoopback(0);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener.get(), 0), 0);
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
    port = ntohs(a.sin_port);
    std::vector<kelTestFd> fill;
    for (int i = 0; i < 4; ++i) {
        kelTestFd f(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        (void)::connect(f.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        fill.push_back(std::move(f));
    }
    const uint32_t id = socks->createConnection(u"127.0.0.1", port, kelIPPROTO_TCP);
    ASSERT_NE(id, 0u);
    if (rec.waitFor(kelseClientConnect, 1, 300))
        GTEST_SKIP() << "the kernel accepted a connect past the backlog";
    EXPECT_TRUE(socks->closeThread(id, 5000));
    EXPECT_FALSE(socks->getThreadByID(id)->bodyActive());
}

TEST_P(kelSocksTest, IdleTcpServerWaitsItsShareOfAPassPerConnection)
{
    if (GetParam()) GTEST_SKIP() << "completion-port threads do not poll their connections";
    const uint32_t id = tcpServer();
    const uint16_t port = kelTestSocksPort(*socks, id);
    kelTestFd c[3] = {kelTestFd::tcpConnect(port), kelTestFd::tcpConnect(port), kelTestFd::tcpConnect(port)};
    ASSERT_TRUE(rec.waitFor(kelseServerConnect, 3));
    EXPECT_TRUE(kelTestWaitUntil([&] { return socks->getThreadByID(id)->lastConnectionWait() == 133; }));
}

INSTANTIATE_TEST_SUITE_P(Modes, kelSocksTest, ::testing::Values(false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "Port" : "Threads";
                         });
