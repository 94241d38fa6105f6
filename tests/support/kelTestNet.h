#pragma once
// The loopback address tests send to.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

inline sockaddr_in kelTestLoopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}
