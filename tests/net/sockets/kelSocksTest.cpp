// The socket manager seen from its owner, in both modes (plain socket
// threads, completion-port threads): events, ids and data on the wire of
// 127.0.0.1, the pool's claims, removals and closes from inside handlers,
// UDP parties, and sends to a peer that stops reading.
#include "tests/support/kelTestSocks.h"

#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "net/sockets/kelIOCPSockets.h"
#include "net/sockets/kelSockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
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

    bool portMode() const { return GetParam(); }
    // The first connection id of a server run, and a client's.
    uint32_t serverConn(uint32_t n = 0) const { return (portMode() ? 5501 : 4001) + n; }
    uint32_t clientConn() const { return portMode() ? 5601 : 4000; }

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
    EXPECT_EQ(c.connId, serverConn());
    EXPECT_EQ(c.size, 0u);
    EXPECT_TRUE(rec.data(serverConn()) == payload) << rec.data(serverConn()).size() << " bytes";
    // Data ids carry a tag in the top byte; the disconnect comes after all.
    const kelTestSocksEvent d = rec.first(kelseServerData);
    EXPECT_EQ(d.connId & 0xFFFFFFu, serverConn());
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
    EXPECT_EQ(socks->sendData(9999, "x", 1, serverConn()), WSAENOTCONN);
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
    // Thread mode: the handler sits on the first datagram while the rest
    // is read. Port mode serves the socket to one worker at a time, so it
    // is the order across several pending receives that counts there.
    std::atomic<bool> release{portMode()};
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
                if (portMode()) return rec.count(kelseServerData) >= static_cast<size_t>(i);
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
    EXPECT_TRUE(rec.data() == expect) << rec.data().size() << " bytes";
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

TEST_P(kelSocksTest, AHeldConnectionIsFinishedOnlyWhenItsHolderLetsGo)
{
    const uint32_t id = tcpServer();
    kelTestFd peer = kelTestFd::tcpConnect(kelTestSocksPort(*socks, id));
    ASSERT_TRUE(rec.waitFor(kelseServerConnect));
    kelSocksConnection* held = socks->getConnection(id, serverConn(), 1000, true);
    ASSERT_NE(held, nullptr);
    peer.reset(); // the peer leaves while the owner still uses the connection
    ASSERT_TRUE(kelTestWaitUntil([&] { return held->isDestroying(); }));
    EXPECT_FALSE(rec.waitFor(kelseServerDisconnect, 1, 300));
    EXPECT_NE(held->paddr()->sin_port, 0); // still whole
    EXPECT_EQ(socks->getConnection(id, serverConn(), 1000, true), nullptr);
    held->release();
    EXPECT_TRUE(rec.waitFor(kelseServerDisconnect));
}

TEST_P(kelSocksTest, AnIdleConnectionIsNotTakenForStuck)
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
    ASSERT_TRUE(rec.waitFor(kelseServerConnect));
    // A receive waiting on a silent peer for longer than any stuck limit.
    clock.advanceMs(20000);
    EXPECT_FALSE(rec.waitFor(kelseServerDisconnect, 1, 1000));
    ASSERT_TRUE(peer.sendAll("still here"));
    EXPECT_EQ(peer.receive(10), "still here");
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
    EXPECT_TRUE(rec.data() == "first" + big) << rec.data().size() << " bytes";
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
    EXPECT_EQ(rec.first(kelseServerDisconnect).connId, serverConn(1));
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
    // Port mode copies each send into a record of at most 4096 bytes and
    // keeps 64 pending a connection; a send pending past 15 s on the clock
    // fails the connection.
    const std::string block(portMode() ? 4096 : 65536, 'z');
    if (portMode()) {
        EXPECT_EQ(socks->sendData(id, block.data(), 5000, serverConn()), WSAEMSGSIZE);
    }
    int rc = 0;
    for (int i = 0; i < 2000 && rc == 0; ++i) {
        bool asynch = false;
        rc = socks->sendData(id, block.data(), static_cast<uint32_t>(block.size()), serverConn(), &asynch,
                             false, 200);
        if (rc == 0) {
            EXPECT_EQ(asynch, portMode());
        }
    }
    EXPECT_EQ(rc, WSAENOBUFS);
    if (portMode()) clock.advanceMs(15001);
    EXPECT_TRUE(rec.waitFor(kelseServerDisconnect));
    EXPECT_EQ(socks->sendData(id, "x", 1, serverConn()), WSAENOTCONN);
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
    EXPECT_EQ(rec.first(kelseClientConnect).connId, clientConn());
    EXPECT_EQ(socks->sendData(id, "ping", 4, clientConn()), 0);
    EXPECT_EQ(server.receive(4), "ping");
    const std::string payload = kelTestSocksPattern(200000, 3);
    ASSERT_TRUE(server.sendAll(payload));
    server.reset();
    ASSERT_TRUE(rec.waitFor(kelseClientDisconnect));
    EXPECT_TRUE(rec.data(clientConn()) == payload) << rec.data(clientConn()).size() << " bytes";
    EXPECT_GT(rec.indexOf(kelseClientDisconnect), rec.lastIndexOf(kelseClientData));
    EXPECT_EQ(rec.first(kelseClientDisconnect).connId, clientConn());
    EXPECT_EQ(socks->getThreadByID(id)->socketError(), WSAESHUTDOWN);
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
    const kelTestSocksEvent e = rec.first(kelseThreadStartupError);
    if (portMode()) {
        // An 8-byte value carries the code.
        ASSERT_EQ(e.size, 8u);
        int64_t code = 0;
        std::memcpy(&code, e.rawData, 8);
        EXPECT_EQ(code, WSAECONNREFUSED);
    }
    EXPECT_EQ(socks->getThreadByID(client)->socketError(), WSAECONNREFUSED);
    kelTestFd taken = kelTestFd::udp();
    (void)socks->createServer(taken.localPort(), kelIPPROTO_UDP, true, 5, 0, u"127.0.0.1");
    ASSERT_TRUE(rec.waitFor(kelseThreadStartupError, 2));
    std::vector<uintptr_t> ids;
    for (const auto& ev : rec.events())
        if (ev.event == kelseThreadStartupError) ids.push_back(ev.connId);
    EXPECT_EQ(ids,
              portMode() ? (std::vector<uintptr_t>{5600u, 5500u}) : (std::vector<uintptr_t>{4000u, 3999u}));
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

TEST_P(kelSocksTest, PortModeRunsTwoWorkersAPerProcessorPlusOne)
{
    if (!portMode()) GTEST_SKIP() << "plain threads have no workers";
    kelIOCPClass::setProcessorCountForTesting(4);
    const uint32_t id = udpServer();
    kelIOCPClass::setProcessorCountForTesting(0);
    auto* t = static_cast<kelIOCPSocksThread*>(socks->getThreadByID(id));
    EXPECT_EQ(t->poolThreadCount(), 9u);
    // A datagram from a new address: the connect with the address, then data
    // whose id carries the delivering worker's index in its top byte.
    kelTestFd peer = kelTestFd::udp();
    ASSERT_TRUE(peer.sendTo(kelTestSocksPort(*socks, id), "hi"));
    ASSERT_TRUE(rec.waitFor(kelseServerData));
    EXPECT_EQ(rec.first(kelseServerConnect).size, 16u);
    const uintptr_t tagged = rec.first(kelseServerData).connId;
    EXPECT_GE(tagged >> 24, 1u);
    EXPECT_LE(tagged >> 24, 9u);
    EXPECT_EQ(kelSocksConnId(tagged), serverConn());
}

TEST(kelSocksModeTest, PortModeStaysOffWhenPortsAreUnavailable)
{
    kelCompletionPort::setAvailableForTesting(false);
    kelOwned<kelSocks> s(kelCreate<kelSocks>(2, true));
    kelCompletionPort::setAvailableForTesting(true);
    EXPECT_FALSE(s->isIOCP());
    s->setIsIOCP(true);
    EXPECT_TRUE(s->isIOCP());
    EXPECT_EQ(s->threads()->count(), 2);
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

INSTANTIATE_TEST_SUITE_P(Modes, kelSocksTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "Port" : "Threads";
                         });
