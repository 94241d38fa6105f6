#pragma once
// Loopback helpers of the IP streaming tests: free port pairs on 127.0.0.1
// and bounded waits.

#include "tests/support/kelTestNet.h"
#include "core/kelTick.h"
#include "core/kelTypes.h"
#include "platform/kelPlatformThread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

inline bool kelTestUdpPortFree(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = kelTestLoopback(port);
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

// An even port whose successor (RTCP) is free as well; 0 when none was
// found. Spread by process and time, since other test programs run beside.
inline uint16_t kelTestFreeRTPPort()
{
    for (uint32_t attempt = 0; attempt < 200; ++attempt) {
        const uint64_t spread = static_cast<uint64_t>(::getpid()) * 131 + tickNow() + attempt * 34u;
        const auto port = static_cast<uint16_t>((20000 + spread % 20000) & ~1u);
        if (kelTestUdpPortFree(port) && kelTestUdpPortFree(static_cast<uint16_t>(port + 1))) return port;
    }
    return 0;
}

inline kelString kelTestURI(uint16_t port)
{
    const std::string s = "rtp://127.0.0.1:" + std::to_string(port);
    return kelString(s.begin(), s.end());
}

inline bool kelTestWaitUntil(const std::function<bool()>& condition, uint64_t timeoutMs)
{
    const uint64_t start = tickNow();
    while (!condition()) {
        if (ticksSince(start) > timeoutMs) return false;
        kelSleepMs(10);
    }
    return true;
}
