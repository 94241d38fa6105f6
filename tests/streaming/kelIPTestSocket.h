#pragma once
// A plain UDP socket on 127.0.0.1 for the IP streaming tests: it stands for a
// peer, so the bytes the components put on the wire are seen as they are.

#include "core/kelTick.h"
#include "core/kelTypes.h"
#include "tests/support/kelTestNet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

class kelTestUdpSocket
{
public:
    // Bound to 127.0.0.1 on `port` (0: any free port).
    explicit kelTestUdpSocket(uint16_t port = 0)
    {
        f_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = kelTestLoopback(port);
        if (f_fd >= 0 && ::bind(f_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(f_fd);
            f_fd = -1;
        }
    }
    ~kelTestUdpSocket()
    {
        if (f_fd >= 0)
            ::close(f_fd);
    }
    kelTestUdpSocket(const kelTestUdpSocket&) = delete;
    kelTestUdpSocket& operator=(const kelTestUdpSocket&) = delete;

    bool ok() const { return f_fd >= 0; }
    uint16_t port() const
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(f_fd, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    // "rtp://127.0.0.1:<port>" with `suffix` after it.
    kelString uri(const std::string& suffix = {}) const
    {
        const std::string s = "rtp://127.0.0.1:" + std::to_string(port()) + suffix;
        return kelString(s.begin(), s.end());
    }
    void sendTo(uint16_t port, const std::vector<uint8_t>& data) const
    {
        const sockaddr_in a = kelTestLoopback(port);
        (void)::sendto(f_fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    // The next datagram whose first byte says RTP and whose payload type is
    // `pt`, within `timeoutMs`; empty when none came. Others are skipped.
    std::vector<uint8_t> receive(uint8_t pt, int timeoutMs) const
    {
        const uint64_t start = tickNow();
        while (ticksSince(start) < static_cast<uint64_t>(timeoutMs)) {
            pollfd p{f_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            std::vector<uint8_t> buf(2048);
            const ssize_t n = ::recv(f_fd, buf.data(), buf.size(), 0);
            if (n >= 12 && (buf[0] & 0xC0) == 0x80 && (buf[1] & 0x7F) == pt) {
                buf.resize(static_cast<size_t>(n));
                return buf;
            }
        }
        return {};
    }
    // The payload of the next real-time text packet, as text; empty when
    // none came within `timeoutMs`.
    std::string receiveText(int timeoutMs) const
    {
        const std::vector<uint8_t> p = receive(113, timeoutMs);
        return p.size() > 12 ? std::string(p.begin() + 12, p.end()) : std::string();
    }

private:
    int f_fd = -1;
};

// An RTP packet with SSRC 0x12345678.
inline std::vector<uint8_t> kelTestRTPPacket(uint8_t pt, uint16_t seq, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> p(12 + payload.size(), 0);
    p[0] = 0x80;
    p[1] = pt;
    p[2] = static_cast<uint8_t>(seq >> 8);
    p[3] = static_cast<uint8_t>(seq);
    p[8] = 0x12;
    p[9] = 0x34;
    p[10] = 0x56;
    p[11] = 0x78;
    for (size_t i = 0; i < payload.size(); ++i)
        p[12 + i] = payload[i];
    return p;
}
