#pragma once
// Scaffolding for socket-manager tests: a recorder of kelSocks events that
// keeps their data, and plain POSIX peers on 127.0.0.1 (a TCP client, a
// TCP listener, a UDP sender) that share no code with the library. Header
// only; the recorder is safe from the manager's threads, the peers are used
// from the test's thread.

#include "net/sockets/kelSockets.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct kelTestSocksEvent
{
    kelSocketEvent event;
    uint32_t id;
    uintptr_t connId;
    std::string data; // the bytes of data and connect events
    uintptr_t size;
    const void* rawData;
};

class kelTestSocksRecorder
{
public:
    // Runs on the manager's thread before the event is recorded; may call
    // back into the manager.
    std::function<void(kelSocks*, const kelTestSocksEvent&)> hook;

    void attach(kelSocks& socks)
    {
        socks.setOnEvent([this](kelSocks* s, kelSocketEvent e, uint32_t id, uintptr_t connId,
                                const void* data, uintptr_t size) {
            kelTestSocksEvent ev{e, id, connId, {}, size, data};
            const bool bytes = e == kelseServerData || e == kelseClientData || e == kelseServerConnect;
            if (bytes && data && size) ev.data.assign(static_cast<const char*>(data), size);
            if (hook) hook(s, ev);
            std::lock_guard lock(f_mutex);
            f_events.push_back(std::move(ev));
        });
    }

    std::vector<kelTestSocksEvent> events() const
    {
        std::lock_guard lock(f_mutex);
        return f_events;
    }
    size_t count(kelSocketEvent e) const
    {
        std::lock_guard lock(f_mutex);
        size_t n = 0;
        for (const auto& ev : f_events)
            n += ev.event == e;
        return n;
    }
    bool waitFor(kelSocketEvent e, size_t n = 1, uint64_t ms = kelTestWaitMs) const
    {
        return kelTestWaitUntil([&] { return count(e) >= n; }, ms);
    }
    // The first event `e`; a zeroed one when none came.
    kelTestSocksEvent first(kelSocketEvent e) const
    {
        std::lock_guard lock(f_mutex);
        for (const auto& ev : f_events)
            if (ev.event == e) return ev;
        return kelTestSocksEvent{e, 0, 0, {}, 0, nullptr};
    }
    // Data events concatenated, of connection `connId` (low 24 bits) or all.
    std::string data(uint32_t connId = 0) const
    {
        std::lock_guard lock(f_mutex);
        std::string out;
        for (const auto& ev : f_events)
            if ((ev.event == kelseServerData || ev.event == kelseClientData) &&
                (connId == 0 || kelSocksConnId(ev.connId) == connId))
                out += ev.data;
        return out;
    }
    // Index of the first `e` (of `connId` when nonzero) in arrival order, or -1.
    intptr_t indexOf(kelSocketEvent e, uint32_t connId = 0) const
    {
        std::lock_guard lock(f_mutex);
        for (size_t i = 0; i < f_events.size(); ++i)
            if (f_events[i].event == e && (connId == 0 || kelSocksConnId(f_events[i].connId) == connId))
                return static_cast<intptr_t>(i);
        return -1;
    }
    intptr_t lastIndexOf(kelSocketEvent e) const
    {
        std::lock_guard lock(f_mutex);
        for (size_t i = f_events.size(); i-- > 0;)
            if (f_events[i].event == e) return static_cast<intptr_t>(i);
        return -1;
    }

private:
    mutable std::mutex f_mutex;
    std::vector<kelTestSocksEvent> f_events;
};

// The port a manager's server thread is bound to; 0 when it has none.
inline uint16_t kelTestSocksPort(kelSocks& socks, uint32_t id)
{
    kelSocksThread* t = socks.getThreadByID(id);
    sockaddr_in a{};
    if (!t || !t->threadSocket() || t->threadSocket()->getSockAddrBound(a) != 0) return 0;
    return ntohs(a.sin_port);
}

// A plain socket of the test (closed on destruction).
class kelTestFd
{
public:
    explicit kelTestFd(int fd = -1) : f_fd(fd) {}
    ~kelTestFd() { reset(); }
    kelTestFd(const kelTestFd&) = delete;
    kelTestFd& operator=(const kelTestFd&) = delete;
    kelTestFd(kelTestFd&& o) noexcept : f_fd(o.f_fd) { o.f_fd = -1; }
    int get() const { return f_fd; }
    void reset(int fd = -1)
    {
        if (f_fd >= 0) ::close(f_fd);
        f_fd = fd;
    }

    // A TCP connection to 127.0.0.1:`port`; invalid on failure.
    static kelTestFd tcpConnect(uint16_t port)
    {
        kelTestFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in a = kelTestLoopback(port);
        if (s.get() >= 0 && ::connect(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
            s.reset();
        return s;
    }
    // A TCP listener on 127.0.0.1, port any; `port` gets it.
    static kelTestFd tcpListen(uint16_t& port)
    {
        kelTestFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = kelTestLoopback(0);
        socklen_t len = sizeof a;
        if (s.get() < 0 || ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(s.get(), 16) != 0 || ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            s.reset();
        port = s.get() >= 0 ? ntohs(a.sin_port) : 0;
        return s;
    }
    // A UDP socket bound to 127.0.0.1, port any.
    static kelTestFd udp()
    {
        kelTestFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const sockaddr_in a = kelTestLoopback(0);
        if (s.get() >= 0 && ::bind(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) s.reset();
        return s;
    }
    // Accepts one connection within `ms`.
    kelTestFd accept(int ms = 5000) const
    {
        pollfd p{f_fd, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) return kelTestFd();
        return kelTestFd(::accept4(f_fd, nullptr, nullptr, SOCK_CLOEXEC));
    }
    bool sendAll(const std::string& data) const
    {
        size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = ::send(f_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    bool sendTo(uint16_t port, const std::string& data) const
    {
        const sockaddr_in a = kelTestLoopback(port);
        return ::sendto(f_fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) ==
               static_cast<ssize_t>(data.size());
    }
    // Reads until `n` bytes came, the peer closed, or `ms` passed.
    std::string receive(size_t n, int ms = 5000) const
    {
        std::string out;
        char buf[65536];
        (void)kelTestWaitUntil(
            [&] {
                pollfd p{f_fd, POLLIN, 0};
                if (::poll(&p, 1, 10) == 1) {
                    const ssize_t got = ::recv(f_fd, buf, sizeof buf, 0);
                    if (got <= 0) return true;
                    out.append(buf, static_cast<size_t>(got));
                }
                return out.size() >= n;
            },
            static_cast<uint64_t>(ms));
        return out;
    }
    uint16_t localPort() const
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(f_fd, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }

private:
    int f_fd;
};

// A pattern of `n` bytes that shows where a byte went missing.
inline std::string kelTestSocksPattern(size_t n, unsigned seed = 1)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return s;
}
