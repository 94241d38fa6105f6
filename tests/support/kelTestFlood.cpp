#include "tests/support/kelTestFlood.h"

#include "tests/support/kelTestRTPPackets.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace {

void put32(kelTestFlood::Bytes& b, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(static_cast<uint8_t>(v >> shift));
}

} // namespace

sockaddr_in kelTestForeignHost(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000002);
    a.sin_port = htons(port);
    return a;
}

namespace {

// A non-blocking UDP socket bound to `a`; -1 when that failed.
int boundSocket(const sockaddr_in& a)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t boundPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin_port) : 0;
}

} // namespace

kelTestFlood::kelTestFlood(size_t sockets, const char* host, bool pairs)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    f_ok = ::inet_pton(AF_INET, host, &a.sin_addr) == 1 && (ntohl(a.sin_addr.s_addr) >> 24) == 127;
    for (size_t i = 0; f_ok && i < sockets; ++i) {
        a.sin_port = 0;
        int fd = boundSocket(a);
        if (!pairs || fd < 0) {
            f_ok = fd >= 0;
            if (f_ok) f_fds.push_back(fd);
            continue;
        }
        // An even port whose successor is free too; bounded tries.
        int next = -1;
        for (int attempt = 0; attempt < 200 && fd >= 0; ++attempt) {
            const uint16_t port = boundPort(fd);
            if (port != 0 && port % 2 == 0 && port < 65535) {
                a.sin_port = htons(static_cast<uint16_t>(port + 1));
                next = boundSocket(a);
                a.sin_port = 0;
                if (next >= 0) break;
            }
            // Keep the odd or unusable socket until a pair is found, so the
            // system hands out another port.
            const int again = boundSocket(a);
            ::close(fd);
            fd = again;
        }
        f_ok = fd >= 0 && next >= 0;
        if (fd >= 0 && !f_ok) ::close(fd);
        if (f_ok) {
            f_fds.push_back(fd);
            f_fds.push_back(next);
        }
    }
}

kelTestFlood::~kelTestFlood()
{
    (void)stop();
    for (const int fd : f_fds)
        ::close(fd);
}

uint16_t kelTestFlood::port(size_t socket) const
{
    return socket < f_fds.size() ? boundPort(f_fds[socket]) : 0;
}

bool kelTestFlood::sendFrom(size_t socket, const sockaddr_in& to, const Bytes& data) const
{
    // Only loopback: a mistake in a test must never reach a real network.
    if (f_fds.empty() || (ntohl(to.sin_addr.s_addr) >> 24) != 127) return false;
    const int fd = f_fds[socket % f_fds.size()];
    for (int attempt = 0; attempt < 100; ++attempt) {
        const ssize_t n =
            ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n == static_cast<ssize_t>(data.size())) return true;
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS)) return false;
        // The send buffer is full: wait until it drains a little.
        pollfd p{fd, POLLOUT, 0};
        (void)::poll(&p, 1, 10);
    }
    return false;
}

size_t kelTestFlood::burst(uint64_t count, const Maker& make) const
{
    size_t sent = 0;
    Bytes datagram;
    sockaddr_in to{};
    for (uint64_t n = 0; n < count && !f_fds.empty(); ++n) {
        datagram.clear();
        size_t socket = static_cast<size_t>(n % f_fds.size());
        make(n, datagram, to, socket);
        sent += sendFrom(socket, to, datagram) ? 1 : 0;
    }
    return sent;
}

std::vector<size_t> kelTestFlood::drain(int settleMs) const
{
    std::vector<size_t> counts(f_fds.size(), 0);
    std::vector<pollfd> polls;
    for (const int fd : f_fds)
        polls.push_back(pollfd{fd, POLLIN, 0});
    uint8_t buf[2048];
    // Each round reads what is there; the drain ends after a quiet wait.
    for (int rounds = 0; rounds < 10000; ++rounds) {
        if (::poll(polls.data(), polls.size(), settleMs) <= 0) break;
        for (size_t i = 0; i < polls.size(); ++i) {
            if ((polls[i].revents & POLLIN) == 0) continue;
            while (::recv(polls[i].fd, buf, sizeof buf, 0) >= 0)
                ++counts[i];
        }
    }
    return counts;
}

void kelTestFlood::start(uint32_t perSecond, double maxSeconds, Maker make)
{
    (void)stop();
    f_stop.store(false);
    f_sent.store(0);
    f_thread = std::thread([this, perSecond, maxSeconds, make = std::move(make)] {
        using clock = std::chrono::steady_clock;
        const auto begin = clock::now();
        const auto end = begin + std::chrono::duration<double>(maxSeconds);
        // Paced in steps of 10 ms, each sending what is due by then.
        Bytes datagram;
        sockaddr_in to{};
        uint64_t n = 0;
        for (auto step = begin; !f_stop.load() && step < end; step += std::chrono::milliseconds(10)) {
            const double elapsed = std::chrono::duration<double>(step - begin).count();
            const auto due = static_cast<uint64_t>(elapsed * perSecond);
            for (; n < due && !f_stop.load() && !f_fds.empty(); ++n) {
                datagram.clear();
                size_t socket = static_cast<size_t>(n % f_fds.size());
                make(n, datagram, to, socket);
                if (sendFrom(socket, to, datagram)) ++f_sent;
            }
            std::this_thread::sleep_until(step + std::chrono::milliseconds(10));
        }
    });
}

uint64_t kelTestFlood::stop()
{
    f_stop.store(true);
    if (f_thread.joinable()) f_thread.join();
    return f_sent.load();
}

kelTestFlood::Bytes kelTestFlood::receiverReport(uint32_t ssrc)
{
    Bytes b = {0x80, 201, 0, 1};
    put32(b, ssrc);
    return b;
}

kelTestFlood::Bytes kelTestFlood::reportWithCNAME(uint32_t ssrc, const char* cname)
{
    Bytes b = receiverReport(ssrc);
    const size_t len = std::min<size_t>(std::strlen(cname), 255);
    // SDES: header, SSRC, CNAME item, a zero end byte, padding to 4.
    const size_t body = 4 + 2 + len + 1;
    const size_t padded = (body + 3) / 4 * 4;
    b.push_back(0x81);
    b.push_back(202);
    b.push_back(0);
    b.push_back(static_cast<uint8_t>(padded / 4));
    put32(b, ssrc);
    b.push_back(1);
    b.push_back(static_cast<uint8_t>(len));
    b.insert(b.end(), cname, cname + len);
    b.resize(b.size() + (padded - body) + 1, 0);
    return b;
}

kelTestFlood::Bytes kelTestFlood::rtp(uint32_t ssrc, uint16_t seq, uint8_t pt, size_t payloadSize)
{
    return kelTestRTPPacket(pt, seq, Bytes(payloadSize, 0x55), seq * 160u, ssrc);
}

kelTestFlood::Bytes kelTestFlood::hole(uint32_t ssrc, uint16_t seq)
{
    return kelGoldenCNPing(seq, ssrc);
}
