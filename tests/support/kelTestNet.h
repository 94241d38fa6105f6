#pragma once
// Loopback addresses and ports for tests: every packet a test sends goes to
// 127.0.0.1, on ports it found free.

#include "core/kelTypes.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <string>

// 127.0.0.1:`port`. Inline, so the benchmarks use it without the library.
inline sockaddr_in kelTestLoopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
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
