#pragma once
// kelSTUNclient: sends STUN Binding requests, retransmits them, fails over
// between the servers a DNS SRV lookup found ("_stun._udp." or "_stun._tcp."
// plus the host) and finally the server the caller named, reads the answers
// and reports each result through onResponse.
//
// UDP: five sends per server spaced 1, 2, 3 and 4 s apart, then 5 s more
// before the next server. TCP: one send on a connection of its own; a
// request not answered within 39.5 s, or a connection the server closes,
// moves all pending requests to the next server. An answer completes only
// the request on whose socket it came, from the server that request went
// to, with its transaction id (96 random bits). Servers that do not resolve
// get nothing sent: they count as failed at once. SRV targets "." (no such
// service) are left out, and servers of one priority are tried in the
// weighted random order of RFC 2782.
//
// The client opens on its first request and ends itself after 30 s without
// requests. Time comes from its clock (setClock), which it hands to its DNS
// client. Threads: req() from any thread; onResponse on the client thread,
// onDNSAnswer on the DNS client's thread. Make and free with kelCreate /
// kelFree.

#include "net/protocols/kelDNSClient.h"
#include "net/protocols/kelSTUNClientReq.h"
#include "net/protocols/kelSTUNagent.h"

#include "core/kelCreate.h"

#include <functional>
#include <memory>
#include <vector>

class kelEvent;
class kelSTUNclient;

inline constexpr uint64_t kelSTUNIdleMs = 30000;
inline constexpr uint64_t kelSTUNDnsWaitMs = 40000;
// RFC 5389 section 7.2.2: a reliable transport's request times out after
// 39.5 s.
inline constexpr uint64_t kelSTUNTcpTimeoutMs = 39500;
inline constexpr intptr_t kelSTUNUdpSends = 5;
inline constexpr uint64_t kelSTUNUdpLastWaitMs = 5000;

// A value in [0, upTo]; the seam through which tests fix the weighted
// choice among SRV servers.
using kelSTUNRandom = std::function<uint32_t(uint32_t upTo)>;

// The DNS client of a STUN client: forwards its answers to the master.
class myDNSClient : public kelDNSClient
{
public:
    myDNSClient(kelSTUNclient* master, const std::string& dnsServers, kelDNS_transport transport)
        : kelDNSClient(dnsServers, transport), f_master(master)
    {}

protected:
    void onQueryComplete(kelDNSQuery* query, bool failed) override;

private:
    kelSTUNclient* f_master;
};

class kelSTUNclient : public kelSTUNagent
{
public:
    kelSTUNclient(const kelString& host, intptr_t proto = kelSTUNProtoUDP, bool useDNSSRV = false,
                  const kelString& port = u"3478", const kelString& bind2ip = {});
    ~kelSTUNclient() override;

    // Opens the client (-1 when that fails) and queues a Binding request
    // (`method` is not used: the type is always Binding) with `attrs`, sent
    // from `socket` (not owned; a UDP socket the caller lends until the
    // request completes) or, when null, the client's own. `event` (not
    // owned) is signalled when it completes, from the client thread: keep
    // it until the client is closed or freed. Returns its index in the
    // request list. Any thread.
    intptr_t req(int method, const uint8_t* attrs, size_t attrsLen, kelSocket* socket,
                 kelEvent* event) noexcept;

    const kelString& host() const noexcept { return f_host; }
    const kelString& bind2port() const noexcept { return f_bind2port; }
    // Before the first request.
    void setBind2port(const kelString& port) { f_bind2port = port; }
    void setRandom(kelSTUNRandom random) { f_random = std::move(random); }
    // DNS servers for the SRV lookup, CR LF separated; empty: the
    // machine's. Before the first request.
    void setDNSServers(const std::string& servers) { f_dnsServers = servers; }
    // The servers the SRV lookup gave (host:port, in answer order).
    std::vector<kelString> srvServers() noexcept;

    // Takes the SRV answer (the DNS client's thread).
    virtual void onDNSAnswer(kelDNSQuery* query);

    kelString _classID() const override { return u"kelSTUNclient"; }

protected:
    // The result of one request: code 200 with the mapped address (host
    // order) and port, an error code (300 ... 699, 400 for an answer that
    // is neither) or -1 when no server answered; boundPort is the local port
    // of the request's socket. On the client thread; `req` lives for the
    // call only.
    virtual void onResponse(kelSTUNClient_req* req, int code, uint32_t ip, uint16_t port, uint16_t boundPort);
    virtual void onIdle() {}

    void onOpen() override;
    intptr_t readData(uint8_t* buf, size_t size, sockaddr_in& from, kelSocket*& on) override;
    bool processData(const sockaddr_in& from, const uint8_t* buf, intptr_t size, kelSocket* on) override;
    void pollFds(std::vector<int>& fds) override;
    intptr_t execute(uintptr_t globalIndex) override;
    void beforeDestruction() override;

private:
    // Picks the next usable server under the request lock; false when none
    // is left that resolves (the default server included).
    bool selectServer();
    // A new socket for the server in use; TCP connects (falling over to
    // the next server while connecting fails). False when no server is left.
    bool makeSocket();
    void sendRequest(kelSTUNClient_req& r, uint64_t now);
    // TCP: the server in use failed; every pending request moves on.
    void tcpFailOver();
    void report(kelSTUNClient_req& r) noexcept;
    void failAllPending() noexcept;

    kelString f_defHost;
    kelString f_defPort;
    kelString f_bind2port;
    bool f_useDNSSRV;
    std::string f_dnsServers;
    kelOwned<myDNSClient> f_dns;
    // Guards the request and server lists.
    kelObject f_reqLock;
    std::vector<std::unique_ptr<kelSTUNClient_server>> f_srvList;
    std::vector<intptr_t> f_srvBrokenList;
    std::atomic<bool> f_dnsDone{false};
    sockaddr_in f_srvAddr{};
    bool f_srvUsable = false;
    intptr_t f_srvIndex = -1;
    bool f_haveTriedRootSrv = false;
    std::vector<std::unique_ptr<kelSTUNClient_req>> f_requests;
    kelString f_host;
    uint64_t f_noJobTM = 0;
    bool f_ending = false;
    kelSTUNRandom f_random;
    // TCP: the bytes of the message being framed.
    std::vector<uint8_t> f_tcpBuf;
};
