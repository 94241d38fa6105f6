// Loopback throughput through the socket wrappers against the same loop on
// plain POSIX calls: UDP datagrams per second (send one, receive it) and TCP
// bytes per second (64 KiB sent, then read back). The wrappers add their
// readiness checks (a poll before each send and receive, the activity test
// of read()); the "nocheck" rows skip them. Ratios are printed against
// "posix".
#include "kelBenchRatios.h"

#include "net/sockets/kelSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

constexpr int kDatagram = 1200;
constexpr uint32_t kChunk = 64 * 1024;

sockaddr_in boundAddr(kelSocket& s)
{
    sockaddr_in a{};
    s.getSockAddrBound(a);
    return a;
}

struct UdpPair
{
    kelUdpSocket rx;
    kelUdpSocket tx;
    sockaddr_in to{};

    UdpPair()
    {
        rx.setBindToIP(u"127.0.0.1");
        tx.setBindToIP(u"127.0.0.1");
        rx.bindSocketToPort(0);
        tx.bindSocketToPort(0);
        to = boundAddr(rx);
    }
};

struct TcpPair
{
    kelTcpSocket listener;
    kelTcpSocket client;
    std::unique_ptr<kelSocket> server;

    TcpPair()
    {
        listener.setBindToIP(u"127.0.0.1");
        listener.listen(1);
        client.setHost(u"127.0.0.1");
        client.setPort(ntohs(boundAddr(listener).sin_port));
        client.connect();
        intptr_t result = 0;
        server = listener.accept(result, 3000);
        // Room for a whole chunk in flight, so one thread can send then read.
        client.setSndBufSize(1 << 20);
        if (server) server->setRcvBufSize(1 << 20);
    }
};

void udpWrapper(benchmark::State& state, bool noCheck)
{
    UdpPair p;
    std::vector<uint8_t> out(kDatagram, 0x5A);
    std::vector<uint8_t> in(2048);
    for (auto _ : state) {
        if (p.tx.sendto(p.to, out.data(), kDatagram, 0, 1000, noCheck) != 0) {
            state.SkipWithError("sendto failed");
            break;
        }
        if (p.rx.recvfrom(nullptr, in.data(), static_cast<int>(in.size()), noCheck, 0, 1000) != kDatagram) {
            state.SkipWithError("recvfrom failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_udp_kel(benchmark::State& state)
{
    udpWrapper(state, false);
}

void BM_udp_kel_nocheck(benchmark::State& state)
{
    udpWrapper(state, true);
}

void BM_udp_posix(benchmark::State& state)
{
    UdpPair p;
    const int tx = static_cast<int>(p.tx.handle());
    const int rx = static_cast<int>(p.rx.handle());
    std::vector<uint8_t> out(kDatagram, 0x5A);
    std::vector<uint8_t> in(2048);
    for (auto _ : state) {
        if (::sendto(tx, out.data(), kDatagram, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&p.to),
                     sizeof p.to) != kDatagram) {
            state.SkipWithError("sendto failed");
            break;
        }
        if (::recvfrom(rx, in.data(), in.size(), 0, nullptr, nullptr) != kDatagram) {
            state.SkipWithError("recvfrom failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void tcpWrapper(benchmark::State& state, bool noCheck)
{
    TcpPair p;
    if (!p.server) {
        state.SkipWithError("no connection");
        return;
    }
    std::vector<uint8_t> out(kChunk, 0xA5);
    std::vector<uint8_t> in(kChunk);
    for (auto _ : state) {
        if (p.client.send(out.data(), kChunk, noCheck) != 0) {
            state.SkipWithError("send failed");
            break;
        }
        uint32_t got = 0;
        while (got < kChunk) {
            uint32_t size = kChunk - got;
            if (p.server->read(in.data() + got, size, 1000, noCheck) != 0 || size == 0) {
                state.SkipWithError("read failed");
                return;
            }
            got += size;
        }
    }
    state.SetBytesProcessed(state.iterations() * kChunk);
}

void BM_tcp_kel(benchmark::State& state)
{
    tcpWrapper(state, false);
}

void BM_tcp_kel_nocheck(benchmark::State& state)
{
    tcpWrapper(state, true);
}

void BM_tcp_posix(benchmark::State& state)
{
    TcpPair p;
    if (!p.server) {
        state.SkipWithError("no connection");
        return;
    }
    const int tx = static_cast<int>(p.client.handle());
    const int rx = static_cast<int>(p.server->handle());
    std::vector<uint8_t> out(kChunk, 0xA5);
    std::vector<uint8_t> in(kChunk);
    for (auto _ : state) {
        if (::send(tx, out.data(), kChunk, MSG_NOSIGNAL) != static_cast<ssize_t>(kChunk)) {
            state.SkipWithError("send failed");
            break;
        }
        uint32_t got = 0;
        while (got < kChunk) {
            const ssize_t n = ::recv(rx, in.data() + got, kChunk - got, 0);
            if (n <= 0) {
                state.SkipWithError("recv failed");
                return;
            }
            got += static_cast<uint32_t>(n);
        }
    }
    state.SetBytesProcessed(state.iterations() * kChunk);
}

} // namespace

BENCHMARK(BM_udp_kel)->Name("udp_1200B/kel");
BENCHMARK(BM_udp_kel_nocheck)->Name("udp_1200B/kel_nocheck");
BENCHMARK(BM_udp_posix)->Name("udp_1200B/posix");
BENCHMARK(BM_tcp_kel)->Name("tcp_64KiB/kel");
BENCHMARK(BM_tcp_kel_nocheck)->Name("tcp_64KiB/kel_nocheck");
BENCHMARK(BM_tcp_posix)->Name("tcp_64KiB/posix");

KEL_BENCH_MAIN_WITH_RATIOS("posix")
