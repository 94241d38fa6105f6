#pragma once
// kelUdpSocket: the datagram kind of kelSocket; kelMulticastSocket: an IPv4
// multicast UDP socket that joins groups and sends to one group.
// As with every kelSocket, one thread at a time uses an object.

#include "net/sockets/kelSocket.h"

class kelUdpSocket : public kelSocket
{
public:
    explicit kelUdpSocket(bool overlapped = false) noexcept
        : kelSocket(kelAF_INET, kelIPPROTO_UDP, kelSOCK_DGRAM, overlapped)
    {}

    // Receives one datagram into `data`, the sender into `from` when given.
    // Unless `noCheck`, returns -2 when nothing is readable within `timeout`.
    // Otherwise the byte count, or -1 with the code in kelWSAGetLastError()
    // (10040 for a datagram larger than `dataLen`, whose start is kept;
    // 10054 after an ICMP port-unreachable on a connected socket).
    int recvfrom(sockaddr_in* from, void* data, int dataLen, bool noCheck = false, int flags = 0,
                 int64_t timeout = 0) noexcept;
    // Sends `size` bytes to `addr` as consecutive datagrams of at most
    // getMTU() bytes (one empty datagram for size 0). Unless `noCheck`,
    // returns 10013 when the socket is not writable within `timeout`.
    // Returns 0 or the first error code.
    int sendto(const sockaddr_in& addr, const void* data, uint32_t size, int flags, int64_t timeout,
               bool noCheck) noexcept;
    // The same with a 10 ms write check.
    int sendto(const sockaddr_in& addr, const void* data, uint32_t size, bool noCheck = false,
               int flags = 0) noexcept
    {
        return sendto(addr, data, size, flags, 10, noCheck);
    }

    // Sends the same `size` bytes to each of `count` addresses, in batches
    // (sendto one by one when `size` is over getMTU()). A datagram that
    // would block gets one write check of `timeout`; one that fails is
    // passed over. `sent` gets how many went; returns 0 or the last error.
    int sendtoMany(const sockaddr_in* addrs, size_t count, const void* data, uint32_t size, int64_t timeout,
                   size_t& sent) noexcept;

    kelString _classID() const override { return u"kelUdpSocket"; }
};

inline constexpr int kelMJoinReceive = 1;
inline constexpr int kelMJoinSend = 2;

class kelMulticastSocket : public kelUdpSocket
{
public:
    explicit kelMulticastSocket(bool overlapped = false) noexcept : kelUdpSocket(overlapped) {}

    // Binds (unless connected; to the wildcard address when receiving, so
    // group datagrams are delivered) and, with kelMJoinReceive in `ioFlags`,
    // joins `groupAddr` on the bindToIP interface (any when unset or
    // "0.0.0.0");
    // with kelMJoinSend, sets the TTL and makes the group at the socket's
    // port the target of sendData. `disableLoop` stops our own sends from
    // coming back. 0, 10049 for a group that is not an address, or the error
    // code.
    int mjoin(const kelString& groupAddr, int ioFlags, int ttl, bool disableLoop) noexcept;
    // Leaves `groupAddr`, or the group last joined when empty.
    int mleave(const kelString& groupAddr = {}) noexcept;
    // The interface multicast sends leave from; 10049 for 0 or a non-address.
    int setIF(const kelString& intf) noexcept;
    int setLoopEnable(bool enable) noexcept;
    uint32_t ttl() const noexcept { return f_ttl; }
    // Stores the TTL and applies it when there is a handle (failures ignored).
    void setTtl(uint32_t ttl) noexcept;
    // sendto the group chosen by mjoin, 1 ms write check.
    int sendData(const void* data, uint32_t len, bool noCheck = false) noexcept;

    const sockaddr_in& senderAddr() const noexcept { return f_senderAddr; }
    const kelString& lastGroup() const noexcept { return f_lastGroup; }
    kelString _classID() const override { return u"kelMulticastSocket"; }

private:
    uint32_t interfaceAddr() const noexcept;

    sockaddr_in f_senderAddr{};
    kelString f_lastGroup;
    uint32_t f_ttl = 1;
};
