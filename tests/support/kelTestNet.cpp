#include "tests/support/kelTestNet.h"

#include "core/kelTick.h"

#include <sys/socket.h>
#include <unistd.h>

bool kelTestUdpPortFree(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = kelTestLoopback(port);
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

uint16_t kelTestFreeRTPPort()
{
    for (uint32_t attempt = 0; attempt < 200; ++attempt) {
        const uint64_t spread = static_cast<uint64_t>(::getpid()) * 131 + tickNow() + attempt * 34u;
        const auto port = static_cast<uint16_t>((20000 + spread % 20000) & ~1u);
        if (kelTestUdpPortFree(port) && kelTestUdpPortFree(static_cast<uint16_t>(port + 1))) return port;
    }
    return 0;
}

kelString kelTestURI(uint16_t port, const std::string& suffix)
{
    const std::string s = "rtp://127.0.0.1:" + std::to_string(port) + suffix;
    return kelString(s.begin(), s.end());
}
