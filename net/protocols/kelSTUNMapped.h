#pragma once
// mySTUNClient: a kelSTUNclient that keeps the result of its request.
// getSTUNMappedAddress: one blocking request, for callers that need the
// public address of a socket of theirs (the IP receiver's RTP and RTCP
// sockets while they are rented out).

#include "net/protocols/kelSTUNclient.h"

#include <atomic>

class mySTUNClient : public kelSTUNclient
{
public:
    using kelSTUNclient::kelSTUNclient;

    // -1 until a request completed, then its code.
    intptr_t error() const noexcept { return f_error.load(); }
    // The mapped address (host order) and port, and the local port, of the
    // last request answered with 200.
    uint32_t ip4() const noexcept { return f_ip4.load(); }
    uint16_t mappedPort() const noexcept { return f_port.load(); }
    uint16_t boundPort() const noexcept { return f_boundPort.load(); }

    kelString _classID() const override { return u"mySTUNClient"; }

protected:
    void onResponse(kelSTUNClient_req* req, int code, uint32_t ip, uint16_t port,
                    uint16_t boundPort) override;

private:
    std::atomic<intptr_t> f_error{-1};
    std::atomic<uint32_t> f_ip4{0};
    // The mapped port (the agent's f_port is the server port text).
    std::atomic<uint16_t> f_port{0};
    std::atomic<uint16_t> f_boundPort{0};
};

// Asks `host` (port `serverPort`; with `useDNSSRV` the servers of its SRV
// records first) for the public address of `socket` (not owned; null: a
// socket of the client's own, bound to bind2ip:bind2port) and waits up to
// `timeout` ms. True with the mapped address (host order), mapped port and
// local port when the answer was a success with an address; false on any
// other result or when the time ran out. `clock` (optional) drives the
// client's retransmissions and failover; the wait itself is real time.
// Any thread; the client is freed before returning.
bool getSTUNMappedAddress(const kelString& host, uint32_t& ip, uint16_t& port, uint16_t& boundPort,
                          const kelString& serverPort = u"3478", intptr_t proto = kelSTUNProtoUDP,
                          int64_t timeout = 5000, bool useDNSSRV = false, kelSocket* socket = nullptr,
                          const kelString& bind2ip = {}, const kelString& bind2port = {},
                          const kelClock* clock = nullptr) noexcept;
