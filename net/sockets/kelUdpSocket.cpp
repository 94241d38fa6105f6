#include "net/sockets/kelUdpSocket.h"

#include "net/sockets/kelSockAddr.h"

#include <arpa/inet.h>

#include <algorithm>

int kelUdpSocket::recvfrom(sockaddr_in* from, void* data, int dataLen, bool noCheck, int flags,
                           int64_t timeout) noexcept
{
    if (const int err = ensureSocket(); err != 0) {
        kelWSASetLastError(err);
        return kelSocketError;
    }
    if (!noCheck) {
        // The check is that the socket becomes readable within `timeout`: a
        // receive that does not wait is tried first, and only when nothing
        // has come yet does the call wait, then receive as before.
        const int n = kelRecvFrom(f_socket, data, dataLen, flags | kelMSG_TRY, from);
        if (n >= 0 || kelWSAGetLastError() != WSAEWOULDBLOCK) return n;
        if (!okToRead(timeout)) return -2;
    }
    return kelRecvFrom(f_socket, data, dataLen, flags, from);
}

int kelUdpSocket::sendto(const sockaddr_in& addr, const void* data, uint32_t size, int flags, int64_t timeout,
                         bool noCheck) noexcept
{
    if (const int err = ensureSocket(); err != 0) return err;
    const uint32_t mtu = std::max<uint32_t>(1, getMTU());
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t sent = 0;
    bool firstGone = false; // an empty buffer still goes as one empty datagram
    if (!noCheck) {
        // The check is that the socket is writable within `timeout`. The
        // first datagram is tried without waiting: when it goes, the socket
        // was writable; only one that would block (or fails) pays for the
        // wait, and an error counts only where the check would have let the
        // datagram be sent.
        const uint32_t chunk = std::min(mtu, size);
        const int n = kelSendTo(f_socket, bytes, static_cast<int>(chunk), flags | kelMSG_TRY, &addr);
        if (n < 0) {
            const int err = kelWSAGetLastError();
            if (!okToWrite(timeout)) return WSAEACCES;
            if (err != WSAEWOULDBLOCK) return err;
        } else {
            sent = chunk;
            firstGone = true;
        }
    }
    while (!firstGone || sent < size) {
        const uint32_t chunk = std::min(mtu, size - sent);
        const int n = kelSendTo(f_socket, bytes + sent, static_cast<int>(chunk), flags, &addr);
        if (n < 0) return kelWSAGetLastError();
        sent += chunk;
        firstGone = true;
    }
    return 0;
}

int kelUdpSocket::sendtoMany(const sockaddr_in* addrs, size_t count, const void* data, uint32_t size,
                             int64_t timeout, size_t& sent) noexcept
{
    sent = 0;
    if (const int err = ensureSocket(); err != 0) return err;
    int last = 0;
    if (size > std::max<uint32_t>(1, getMTU())) {
        for (size_t i = 0; i < count; ++i)
            if (const int rc = sendto(addrs[i], data, size, 0, timeout, false); rc == 0)
                ++sent;
            else
                last = rc;
        return last;
    }
    bool waited = false;
    for (size_t at = 0; at < count;) {
        const int n = kelSendToMany(f_socket, data, static_cast<int>(size), addrs + at,
                                    static_cast<int>(std::min<size_t>(count - at, 1u << 20)));
        if (n > 0) {
            sent += static_cast<size_t>(n);
            at += static_cast<size_t>(n);
            continue;
        }
        const int err = kelWSAGetLastError();
        // A full send buffer is waited for once; any other failure costs
        // only the datagram it hit.
        if (err == WSAEWOULDBLOCK && !waited) {
            waited = true;
            if (okToWrite(timeout)) continue;
        }
        last = err;
        ++at;
    }
    return last;
}

uint32_t kelMulticastSocket::interfaceAddr() const noexcept
{
    if (f_bindToIP.empty() || f_bindToIP == u"0.0.0.0") return 0;
    const uint32_t a = str2ipN(f_bindToIP);
    return a == INADDR_NONE ? 0 : a;
}

int kelMulticastSocket::mjoin(const kelString& groupAddr, int ioFlags, int ttl, bool disableLoop) noexcept
{
    const uint32_t group = str2ipN(groupAddr);
    if (group == INADDR_NONE) return WSAEADDRNOTAVAIL;
    if (!isConnected(10)) {
        int err;
        if (ioFlags & kelMJoinReceive) {
            // Linux hands group datagrams only to sockets bound to the
            // wildcard (or the group) address, never to one bound to an
            // interface address; the bind address still chooses the
            // interface of the membership below.
            sockaddr_in any{};
            any.sin_family = AF_INET;
            any.sin_port = htons(f_bindToPort.p_proto);
            err = bind(&any);
        } else {
            err = bind(nullptr);
        }
        if (err != 0) return err;
    }
    const uint32_t intf = interfaceAddr();
    if (ioFlags & kelMJoinReceive) {
        ip_mreq req{};
        req.imr_multiaddr.s_addr = group;
        req.imr_interface.s_addr = intf;
        if (kelSetSockOpt(f_socket, kelIPPROTO_IP, kelIP_ADD_MEMBERSHIP, &req, sizeof req) != 0)
            return kelWSAGetLastError();
        f_lastGroup = groupAddr;
    }
    if (intf != 0) setIF(f_bindToIP);
    if (disableLoop) setLoopEnable(false);
    if (ioFlags & kelMJoinSend) {
        setTtl(ttl < 0 ? 0 : static_cast<uint32_t>(ttl));
        f_senderAddr = sockaddr_in{};
        f_senderAddr.sin_family = AF_INET;
        f_senderAddr.sin_addr.s_addr = group;
        f_senderAddr.sin_port = htons(static_cast<uint16_t>(getPortInt()));
    }
    return 0;
}

int kelMulticastSocket::mleave(const kelString& groupAddr) noexcept
{
    const kelString& name = groupAddr.empty() ? f_lastGroup : groupAddr;
    const uint32_t group = str2ipN(name);
    if (group == INADDR_NONE) return WSAEADDRNOTAVAIL;
    if (const int err = ensureSocket(); err != 0) return err;
    ip_mreq req{};
    req.imr_multiaddr.s_addr = group;
    req.imr_interface.s_addr = interfaceAddr();
    if (kelSetSockOpt(f_socket, kelIPPROTO_IP, kelIP_DROP_MEMBERSHIP, &req, sizeof req) != 0)
        return kelWSAGetLastError();
    f_lastGroup.clear();
    return 0;
}

int kelMulticastSocket::setIF(const kelString& intf) noexcept
{
    const uint32_t a = str2ipN(intf);
    if (a == 0 || a == INADDR_NONE) return WSAEADDRNOTAVAIL;
    if (const int err = ensureSocket(); err != 0) return err;
    return kelSetSockOpt(f_socket, kelIPPROTO_IP, kelIP_MULTICAST_IF, &a, sizeof a) == 0
               ? 0
               : kelWSAGetLastError();
}

int kelMulticastSocket::setLoopEnable(bool enable) noexcept
{
    if (const int err = ensureSocket(); err != 0) return err;
    const int32_t v = enable ? 1 : 0;
    return kelSetSockOpt(f_socket, kelIPPROTO_IP, kelIP_MULTICAST_LOOP, &v, sizeof v) == 0
               ? 0
               : kelWSAGetLastError();
}

void kelMulticastSocket::setTtl(uint32_t ttl) noexcept
{
    f_ttl = ttl;
    if (f_socket == kelInvalidSocket) return;
    const int32_t v = static_cast<int32_t>(std::min<uint32_t>(ttl, 255));
    kelSetSockOpt(f_socket, kelIPPROTO_IP, kelIP_MULTICAST_TTL, &v, sizeof v);
}

int kelMulticastSocket::sendData(const void* data, uint32_t len, bool noCheck) noexcept
{
    return sendto(f_senderAddr, data, len, 0, 1, noCheck);
}
