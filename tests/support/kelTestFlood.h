#pragma once
// A hostile sender for tests: a set of UDP sockets on a foreign loopback
// host (127.0.0.2 unless told otherwise; it is loopback, reachable without
// any setup), each with a source port of its own, sending parseable RTP and
// RTCP with forged SSRCs. It uses the operating system's sockets directly.
//
// The burst calls run on the test's thread. start() runs a paced flood on a
// thread of its own until stop() (or the object's end); its loop is bounded
// by the duration given. Every datagram goes to the addresses the test
// names, which must be on 127.0.0.0/8.

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

class kelTestFlood
{
public:
    using Bytes = std::vector<uint8_t>;
    // The n-th datagram of a flood, where it goes and the socket it leaves
    // from (preset to n modulo size()).
    using Maker = std::function<void(uint64_t n, Bytes& datagram, sockaddr_in& to, size_t& socket)>;

    // `sockets` sockets bound to `host`:0 (the system picks each port).
    // With `pairs`, 2 x `sockets`: socket 2i on an even port (RTP), 2i + 1
    // on the next one (its RTCP), so what comes back to either is seen.
    explicit kelTestFlood(size_t sockets, const char* host = "127.0.0.2", bool pairs = false);
    ~kelTestFlood();
    kelTestFlood(const kelTestFlood&) = delete;
    kelTestFlood& operator=(const kelTestFlood&) = delete;

    // Every socket bound.
    bool ok() const { return f_ok; }
    size_t size() const { return f_fds.size(); }
    uint16_t port(size_t socket) const;

    // One datagram from socket `socket` (modulo size()); true when it went out whole.
    bool sendFrom(size_t socket, const sockaddr_in& to, const Bytes& data) const;
    // `count` datagrams, the n-th made by `make` and sent from socket n.
    // Returns how many went out.
    size_t burst(uint64_t count, const Maker& make) const;

    // The datagrams waiting at each socket, read and counted (index as the
    // sockets). Waits up to `settleMs` for stragglers after the last one.
    std::vector<size_t> drain(int settleMs = 50) const;

    // Starts sending `perSecond` datagrams a second, made by `make`, for at
    // most `maxSeconds`, on a thread of its own. stop() ends it and returns
    // the number sent.
    void start(uint32_t perSecond, double maxSeconds, Maker make);
    uint64_t stop();
    uint64_t sent() const { return f_sent.load(); }

    // Forged packets: a lone RR without blocks; an RR with the SDES CNAME
    // `cname`; an RTP packet of payload type `pt` with `payloadSize` bytes;
    // a comfort-noise hole packet (payload type 13, one byte of level).
    static Bytes receiverReport(uint32_t ssrc);
    static Bytes reportWithCNAME(uint32_t ssrc, const char* cname);
    static Bytes rtp(uint32_t ssrc, uint16_t seq, uint8_t pt, size_t payloadSize);
    static Bytes hole(uint32_t ssrc, uint16_t seq);

private:
    std::vector<int> f_fds;
    bool f_ok = false;
    std::thread f_thread;
    std::atomic<bool> f_stop{false};
    std::atomic<uint64_t> f_sent{0};
};

// 127.0.0.2:`port`: the foreign host of hostile-network tests.
sockaddr_in kelTestForeignHost(uint16_t port);
