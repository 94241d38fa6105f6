#pragma once
// Loopback addresses and ports for tests: every packet a test sends goes to
// 127.0.0.1, on ports it found free.

#include "core/kelTypes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

// 127.0.0.1:`port`. Inline, so the benchmarks use it without the library.
inline sockaddr_in kelTestLoopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// A port of 127.0.0.1 that was free a moment ago for sockets of `type`
// (SOCK_STREAM, SOCK_DGRAM); 0 when none was given. Inline, like those
// below, for the benchmarks.
inline uint16_t kelTestFreePortOf(int type)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a = kelTestLoopback(0);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

inline uint16_t kelTestFreeTcpPort()
{
    return kelTestFreePortOf(SOCK_STREAM);
}

// Whether a TCP socket can bind 127.0.0.1:`port` right now.
inline bool kelTestTcpPortFree(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = kelTestLoopback(port);
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

// Whether something accepts TCP connections on 127.0.0.1:`port` (the
// connection is closed at once).
inline bool kelTestTcpListening(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = kelTestLoopback(port);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

// Whether a UDP socket can bind 127.0.0.1:`port` right now.
bool kelTestUdpPortFree(uint16_t port);

// An even port whose successor (RTCP) is free as well; 0 when none was
// found. Spread by process and time, since other test programs run beside,
// and claimed for the rest of the process (one lock file descriptor per
// call), so no two test processes are handed the same pair.
uint16_t kelTestFreeRTPPort();

// "rtp://127.0.0.1:<port>" followed by `suffix`.
kelString kelTestURI(uint16_t port, const std::string& suffix = {});

// One datagram from 127.0.0.1:`from` to 127.0.0.1:`to`, the socket closed
// again at once (so a peer can bind `from` afterwards).
inline bool kelTestSendFrom(uint16_t from, uint16_t to, const std::vector<uint8_t>& data)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    const sockaddr_in src = kelTestLoopback(from);
    const sockaddr_in dst = kelTestLoopback(to);
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&src), sizeof src) == 0 &&
                    ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&dst),
                             sizeof dst) == ssize_t(data.size());
    ::close(fd);
    return ok;
}
