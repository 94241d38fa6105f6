#include "tests/support/kelTestPeer.h"

#include "core/kelTick.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestRTPPackets.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

kelTestPeer::kelTestPeer(uint16_t port)
{
    f_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = kelTestLoopback(port);
    if (f_fd >= 0 && ::bind(f_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(f_fd);
        f_fd = -1;
    }
}

kelTestPeer::~kelTestPeer()
{
    if (f_fd >= 0) ::close(f_fd);
}

uint16_t kelTestPeer::port() const
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (f_fd < 0 || ::getsockname(f_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

kelString kelTestPeer::uri(const std::string& suffix) const
{
    return kelTestURI(port(), suffix);
}

bool kelTestPeer::sendTo(const sockaddr_in& to, const std::vector<uint8_t>& data) const
{
    const ssize_t n =
        ::sendto(f_fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n == static_cast<ssize_t>(data.size());
}

bool kelTestPeer::sendTo(uint16_t port, const std::vector<uint8_t>& data) const
{
    return sendTo(kelTestLoopback(port), data);
}

std::vector<uint8_t> kelTestPeer::receive(int timeoutMs, uint16_t* from) const
{
    const uint64_t limit = timeoutMs > 0 ? static_cast<uint64_t>(timeoutMs) : 0;
    const uint64_t start = tickNow();
    for (;;) {
        const uint64_t waited = ticksSince(start);
        const uint64_t left = waited >= limit ? 0 : limit - waited;
        pollfd p{f_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left < 20 ? left : 20)) > 0) {
            std::vector<uint8_t> buf(65536);
            sockaddr_in a{};
            socklen_t len = sizeof a;
            const ssize_t n =
                ::recvfrom(f_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&a), &len);
            if (n >= 0) {
                buf.resize(static_cast<size_t>(n));
                if (from != nullptr) *from = ntohs(a.sin_port);
                return buf;
            }
        }
        if (waited >= limit) return {};
    }
}

std::vector<uint8_t>
kelTestPeer::receiveMatching(const std::function<bool(const std::vector<uint8_t>&)>& wanted, int timeoutMs,
                             uint16_t* from) const
{
    const uint64_t limit = timeoutMs > 0 ? static_cast<uint64_t>(timeoutMs) : 0;
    const uint64_t start = tickNow();
    for (;;) {
        const uint64_t waited = ticksSince(start);
        std::vector<uint8_t> d = receive(static_cast<int>(waited >= limit ? 0 : limit - waited), from);
        if (!d.empty() && wanted(d)) return d;
        if (d.empty() || ticksSince(start) >= limit) return {};
    }
}

std::vector<uint8_t> kelTestPeer::receiveRTP(uint8_t pt, int timeoutMs) const
{
    return receiveMatching(
        [pt](const std::vector<uint8_t>& d) {
            return d.size() >= 12 && (d[0] & 0xC0) == 0x80 && (d[1] & 0x7F) == pt;
        },
        timeoutMs);
}

std::string kelTestPeer::receiveText(int timeoutMs) const
{
    const std::vector<uint8_t> p = receiveRTP(113, timeoutMs);
    return p.size() > 12 ? std::string(p.begin() + 12, p.end()) : std::string();
}

std::vector<uint8_t> kelTestPeer::receiveRTCP(uint8_t type, int timeoutMs, uint16_t* from) const
{
    return receiveMatching(
        [type](const std::vector<uint8_t>& d) {
            return d.size() >= 4 && (d[0] & 0xC0) == 0x80 && d[1] == type;
        },
        timeoutMs, from);
}

std::vector<uint8_t> kelTestPeer::receiveCompoundWith(uint8_t type, int timeoutMs, uint16_t* from) const
{
    return receiveMatching(
        [type](const std::vector<uint8_t>& d) {
            for (const kelTestRTCPPart& part : kelTestSplitCompound(d))
                if (part.type == type) return true;
            return false;
        },
        timeoutMs, from);
}
