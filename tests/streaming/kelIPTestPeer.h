#pragma once
// A plain UDP socket on 127.0.0.1 that plays the other end of an IP
// streaming component in tests: it sends hand-built RTP packets and shows
// the datagrams that reach it as they came off the wire.

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

class kelTestPeer
{
public:
    // Bound to 127.0.0.1:`port` (0 for any); ok() says whether it worked.
    explicit kelTestPeer(uint16_t port = 0)
    {
        f_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in a = kelTestLoopback(port);
        if (f_fd >= 0 && ::bind(f_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            ::close(f_fd);
            f_fd = -1;
        }
    }
    ~kelTestPeer()
    {
        if (f_fd >= 0) ::close(f_fd);
    }
    kelTestPeer(const kelTestPeer&) = delete;
    kelTestPeer& operator=(const kelTestPeer&) = delete;

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
    // The next datagram within `timeoutMs`, empty when none came; `from`
    // gets the sender's port.
    std::vector<uint8_t> receive(int timeoutMs, uint16_t* from = nullptr) const
    {
        const uint64_t start = tickNow();
        while (ticksSince(start) < static_cast<uint64_t>(timeoutMs)) {
            pollfd p{f_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            std::vector<uint8_t> buf(65536);
            sockaddr_in a{};
            socklen_t len = sizeof a;
            const ssize_t n =
                ::recvfrom(f_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&a), &len);
            if (n < 0) continue;
            buf.resize(static_cast<size_t>(n));
            if (from != nullptr) *from = ntohs(a.sin_port);
            return buf;
        }
        return {};
    }
    // The next datagram whose first byte says RTP and whose payload type is
    // `pt`, within `timeoutMs`; empty when none came. Others are skipped.
    std::vector<uint8_t> receiveRTP(uint8_t pt, int timeoutMs) const
    {
        const uint64_t start = tickNow();
        while (ticksSince(start) < static_cast<uint64_t>(timeoutMs)) {
            const uint64_t left = static_cast<uint64_t>(timeoutMs) - ticksSince(start);
            std::vector<uint8_t> d = receive(static_cast<int>(left));
            if (d.size() >= 12 && (d[0] & 0xC0) == 0x80 && (d[1] & 0x7F) == pt) return d;
        }
        return {};
    }
    // The payload of the next real-time text packet, as text; empty when
    // none came within `timeoutMs`.
    std::string receiveText(int timeoutMs) const
    {
        const std::vector<uint8_t> p = receiveRTP(113, timeoutMs);
        return p.size() > 12 ? std::string(p.begin() + 12, p.end()) : std::string();
    }

private:
    int f_fd = -1;
};

// An RTP packet: version 2, no CSRC, the given header fields and payload.
inline std::vector<uint8_t> kelTestRTPPacket(uint8_t pt, uint16_t seq, const std::vector<uint8_t>& payload,
                                             uint32_t timestamp = 0, uint32_t ssrc = 0x12345678,
                                             bool marker = false)
{
    std::vector<uint8_t> p = {0x80,
                              static_cast<uint8_t>((marker ? 0x80 : 0) | (pt & 0x7F)),
                              static_cast<uint8_t>(seq >> 8),
                              static_cast<uint8_t>(seq),
                              static_cast<uint8_t>(timestamp >> 24),
                              static_cast<uint8_t>(timestamp >> 16),
                              static_cast<uint8_t>(timestamp >> 8),
                              static_cast<uint8_t>(timestamp),
                              static_cast<uint8_t>(ssrc >> 24),
                              static_cast<uint8_t>(ssrc >> 16),
                              static_cast<uint8_t>(ssrc >> 8),
                              static_cast<uint8_t>(ssrc)};
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}
