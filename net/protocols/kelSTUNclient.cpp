#include "net/protocols/kelSTUNclient.h"

#include "core/kelEvent.h"
#include "core/kelLog.h"
#include "core/kelUtf.h"
#include "net/protocols/kelDNSWire.h"
#include "net/protocols/kelProtoRandom.h"
#include "net/sockets/kelSockets.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {

constexpr intptr_t kLockMs = 10;
// A STUN message is at most the header and a 16-bit length.
constexpr size_t kTcpFrameMax = kelSTUNHeaderSize + 65535;

bool sameAddr(const sockaddr_in& a, const sockaddr_in& b) noexcept
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

kelString decimal(uint32_t v)
{
    const std::string s = std::to_string(v);
    return kelString(s.begin(), s.end());
}

} // namespace

void myDNSClient::onQueryComplete(kelDNSQuery* query, bool failed)
{
    if (f_master != nullptr) f_master->onDNSAnswer(failed ? nullptr : query);
}

kelSTUNclient::kelSTUNclient(const kelString& host, intptr_t proto, bool useDNSSRV, const kelString& port,
                             const kelString& bind2ip)
    : kelSTUNagent(proto, port, bind2ip), f_defHost(host), f_defPort(port), f_useDNSSRV(useDNSSRV),
      f_random([](uint32_t upTo) { return upTo == 0 ? 0u : kelProtoRandom32() % (upTo + 1u); })
{}

kelSTUNclient::~kelSTUNclient() = default;

void kelSTUNclient::beforeDestruction()
{
    // The DNS thread calls into this object: it goes first.
    f_dns.reset();
    kelSTUNagent::beforeDestruction();
}

std::vector<kelString> kelSTUNclient::srvServers() noexcept
{
    std::vector<kelString> out;
    kelLock guard(&f_reqLock, true, 1000);
    if (guard)
        for (const auto& s : f_srvList)
            out.push_back(s->shost() + u":" + s->sport());
    return out;
}

void kelSTUNclient::onOpen()
{
    kelSTUNagent::onOpen();
    if (!f_useDNSSRV) {
        f_dnsDone = true;
        return;
    }
    {
        kelLock guard(&f_reqLock, false, 1000);
        f_srvList.clear();
        f_srvBrokenList.clear();
    }
    f_dnsDone = false;
    if (!f_dns) {
        f_dns.reset(kelCreate<myDNSClient>(this, f_dnsServers, kelDnsTR_UDP_then_TCP));
        if (!f_dns) {
            f_dnsDone = true;
            return;
        }
        f_dns->setClock(clock());
    }
    const kelString prefix = f_proto == kelSTUNProtoTCP ? u"_stun._tcp." : u"_stun._udp.";
    if (f_dns->query({utf16ToUtf8(prefix + f_defHost)}, kelDNSType_SRV, 0, 1, true) < 0) f_dnsDone = true;
}

void kelSTUNclient::onDNSAnswer(kelDNSQuery* query)
{
    if (query != nullptr && query->resp() != nullptr && query->respSize() >= kelDNSHeaderSize &&
        (query->resp()[2] & 0x80) != 0 && !query->resources().empty()) {
        const std::string& asked = query->resources().front();
        kelLock guard(&f_reqLock, false, 1000);
        if (guard) {
            for (intptr_t section = 1; section <= 3; ++section) {
                for (intptr_t i = 0; i < query->count(section); ++i) {
                    const kelDNSRR* rr = query->getRR(i, section);
                    const auto* srv = rr->data<kelDNSRR_SRV>();
                    // Only records of the name asked; "." says the service is
                    // not offered there.
                    if (srv == nullptr || rr->isQuestion() || !dnsSameName(rr->rname(), asked) ||
                        srv->target() == ".")
                        continue;
                    f_srvList.push_back(std::make_unique<kelSTUNClient_server>(
                        utf8ToUtf16(srv->target()), decimal(srv->port()), srv->priority(), srv->weight()));
                }
            }
        }
    }
    f_dnsDone = true;
    wakeUp();
}

bool kelSTUNclient::selectServer()
{
    for (;;) {
        std::vector<intptr_t> candidates;
        uintptr_t best = UINTPTR_MAX;
        for (size_t i = 0; i < f_srvList.size(); ++i) {
            const intptr_t idx = static_cast<intptr_t>(i);
            if (std::find(f_srvBrokenList.begin(), f_srvBrokenList.end(), idx) != f_srvBrokenList.end())
                continue;
            const uintptr_t p = f_srvList[i]->priority();
            if (p < best) {
                best = p;
                candidates.clear();
            }
            if (p == best) candidates.push_back(idx);
        }
        kelString host = f_defHost;
        kelString port = f_defPort;
        intptr_t index = -1;
        if (!candidates.empty()) {
            // RFC 2782: weight-0 servers first, then a running sum of the
            // weights against a random value in [0, sum].
            std::stable_sort(candidates.begin(), candidates.end(), [this](intptr_t a, intptr_t b) {
                return f_srvList[size_t(a)]->weight() == 0 && f_srvList[size_t(b)]->weight() != 0;
            });
            uint32_t sum = 0;
            for (const intptr_t c : candidates)
                sum += static_cast<uint32_t>(f_srvList[size_t(c)]->weight());
            const uint32_t r = f_random ? std::min(f_random(sum), sum) : 0;
            uint32_t running = 0;
            index = candidates.back();
            for (const intptr_t c : candidates) {
                running += static_cast<uint32_t>(f_srvList[size_t(c)]->weight());
                if (running >= r) {
                    index = c;
                    break;
                }
            }
            host = f_srvList[size_t(index)]->shost();
            port = f_srvList[size_t(index)]->sport();
        }
        f_srvIndex = index;
        f_haveTriedRootSrv = index < 0;
        f_host = host;
        // 0 is "this machine" to the resolver: no server of ours.
        const uint32_t ip = host.empty() ? 0 : hostToIpH(host, 0);
        const int p = portFromString(port);
        if (ip != 0 && ip != INADDR_NONE && p > 0 && p <= 65535) {
            f_srvAddr = sockaddr_in{};
            f_srvAddr.sin_family = AF_INET;
            f_srvAddr.sin_addr.s_addr = htonl(ip);
            f_srvAddr.sin_port = htons(static_cast<uint16_t>(p));
            f_srvUsable = true;
            return true;
        }
        f_srvAddr = sockaddr_in{};
        f_srvUsable = false;
        if (index < 0) return false;
        logFailuref("STUN: server %s does not resolve", utf16ToUtf8(host).c_str());
        f_srvBrokenList.push_back(index);
    }
}

bool kelSTUNclient::makeSocket()
{
    f_tcpBuf.clear();
    for (;;) {
        if (!f_srvUsable) {
            f_socket.reset();
            return false;
        }
        if (f_proto == kelSTUNProtoTCP) {
            auto sock = std::make_unique<kelTcpSocket>();
            sock->setBindToIP(f_bind2ip);
            int err = f_bind2ip.empty() ? 0 : sock->bindSocketToPort(0);
            if (err == 0) err = sock->connect(&f_srvAddr);
            f_socketError = err;
            if (err == 0) {
                f_socket = std::move(sock);
                return true;
            }
            f_socket.reset();
            if (f_haveTriedRootSrv) {
                f_srvUsable = false;
                return false;
            }
            f_srvBrokenList.push_back(f_srvIndex);
            (void)selectServer();
            continue;
        }
        auto sock = std::make_unique<kelUdpSocket>();
        sock->setBindToIP(f_bind2ip);
        if (!f_bind2port.empty()) (void)sock->setBindToPort(f_bind2port);
        const int err = sock->bindSocketToPort(-1);
        f_socketError = err;
        f_socket = std::move(sock);
        return err == 0;
    }
}

intptr_t kelSTUNclient::execute(uintptr_t globalIndex)
{
    {
        kelLock guard(&f_reqLock, false, 3000);
        f_ending = false;
    }
    const kelClock& c = clock();
    const uint64_t dnsStart = c.nowMs();
    while (!f_dnsDone && !shouldStop() && c.msSince(dnsStart) < kelSTUNDnsWaitMs)
        sleepThread(50);
    {
        kelLock guard(&f_reqLock, false, 3000);
        f_haveTriedRootSrv = false;
        (void)selectServer();
        (void)makeSocket();
        f_noJobTM = c.nowMs();
    }
    const intptr_t rc = kelSTUNagent::execute(globalIndex);
    failAllPending();
    f_active = false;
    return rc;
}

intptr_t kelSTUNclient::req(int, const uint8_t* attrs, size_t attrsLen, kelSocket* socket,
                            kelEvent* event) noexcept
{
    intptr_t index = -1;
    try {
        auto r = std::make_unique<kelSTUNClient_req>(attrs, attrsLen, socket, event);
        // A body that has decided to end takes no more requests (it fails
        // what it still holds): wait for it, then a new run takes this one.
        for (int attempt = 0; index < 0; ++attempt) {
            {
                kelLock guard(&f_reqLock, false, 3000);
                if (!guard) return -1;
                if (!f_ending || attempt > 0) {
                    f_ending = false;
                    f_requests.push_back(std::move(r));
                    index = static_cast<intptr_t>(f_requests.size()) - 1;
                    break;
                }
            }
            if (!stop(3000)) return -1;
        }
    } catch (...) {
        logCaught("kelSTUNclient::req");
        return -1;
    }
    if (!open()) {
        failAllPending();
        return -1;
    }
    wakeUp();
    return index;
}

void kelSTUNclient::sendRequest(kelSTUNClient_req& r, uint64_t now)
{
    const std::vector<uint8_t>& msg = r.request();
    if (f_proto == kelSTUNProtoTCP) {
        if (f_socket) (void)f_socket->send(msg.data(), static_cast<uint32_t>(msg.size()));
        r.noteSent(now, f_srvAddr);
        return;
    }
    auto* sock = dynamic_cast<kelUdpSocket*>(r.socket() != nullptr ? r.socket() : f_socket.get());
    if (sock != nullptr)
        (void)sock->sendto(f_srvAddr, msg.data(), static_cast<uint32_t>(msg.size()), 0, 10, false);
    r.noteSent(now, f_srvAddr);
}

void kelSTUNclient::tcpFailOver()
{
    if (f_haveTriedRootSrv) {
        f_srvUsable = false;
    } else {
        f_srvBrokenList.push_back(f_srvIndex);
        (void)selectServer();
    }
    (void)makeSocket();
    for (auto& r : f_requests)
        r->resetSent();
}

intptr_t kelSTUNclient::readData(uint8_t* buf, size_t size, sockaddr_in& from, kelSocket*& on)
{
    if (f_proto == kelSTUNProtoTCP) {
        if (!f_socket) return 0;
        on = f_socket.get();
        for (;;) {
            intptr_t frame = stunFrameSize(f_tcpBuf.data(), f_tcpBuf.size());
            if (frame < 0) return -1; // not STUN: the stream cannot be framed
            const size_t want = frame == 0 ? kelSTUNHeaderSize : static_cast<size_t>(frame);
            if (f_tcpBuf.size() == want && frame > 0) {
                intptr_t n = 0;
                if (want <= size) {
                    std::copy(f_tcpBuf.begin(), f_tcpBuf.end(), buf);
                    n = static_cast<intptr_t>(want);
                }
                f_tcpBuf.clear();
                if (n > 0) return n;
                continue; // too large for the caller's buffer: dropped
            }
            if (!f_socket->okToRead(0)) return 0;
            const size_t have = f_tcpBuf.size();
            f_tcpBuf.resize(std::min(want, kTcpFrameMax));
            uint32_t got = static_cast<uint32_t>(f_tcpBuf.size() - have);
            const int rc = f_socket->read(f_tcpBuf.data() + have, got, 0, true);
            f_tcpBuf.resize(have + (rc == 0 ? got : 0));
            if (rc != 0 || got == 0) return -1;
        }
    }
    std::vector<kelUdpSocket*> socks;
    {
        kelLock guard(&f_reqLock, true, kLockMs);
        if (guard)
            for (const auto& r : f_requests)
                if (auto* s = dynamic_cast<kelUdpSocket*>(r->socket()); s != nullptr && !r->hasResponse())
                    if (std::find(socks.begin(), socks.end(), s) == socks.end()) socks.push_back(s);
    }
    if (auto* own = dynamic_cast<kelUdpSocket*>(f_socket.get()); own != nullptr) socks.push_back(own);
    for (kelUdpSocket* s : socks) {
        const int got = s->recvfrom(&from, buf, static_cast<int>(size), false, 0, 0);
        if (got > 0) {
            on = s;
            return got;
        }
    }
    return 0;
}

void kelSTUNclient::pollFds(std::vector<int>& fds)
{
    kelLock guard(&f_reqLock, true, kLockMs);
    if (!guard) return;
    for (const auto& r : f_requests)
        if (r->socket() != nullptr && r->socket()->handle() >= 0)
            fds.push_back(static_cast<int>(r->socket()->handle()));
}

bool kelSTUNclient::processData(const sockaddr_in& from, const uint8_t* buf, intptr_t size, kelSocket* on)
{
    std::vector<std::unique_ptr<kelSTUNClient_req>> done;
    bool work = false;
    {
        kelLock guard(&f_reqLock, false, kLockMs);
        if (!guard) return true;
        const kelClock& c = clock();
        const uint64_t now = c.nowMs();
        if (f_proto == kelSTUNProtoTCP && size < 0) tcpFailOver();
        for (auto& rp : f_requests) {
            kelSTUNClient_req& r = *rp;
            if (r.hasResponse() || r.fatalError()) continue;
            if (!f_srvUsable) {
                r.setFatalError();
                continue;
            }
            if (f_proto == kelSTUNProtoTCP) {
                if (r.sentCount() == 0) {
                    sendRequest(r, now);
                } else if (c.msSince(r.sentTM()) > kelSTUNTcpTimeoutMs) {
                    tcpFailOver();
                    if (f_srvUsable)
                        sendRequest(r, now);
                    else
                        r.setFatalError();
                    continue;
                }
            } else if (r.sentCount() == 0 ||
                       (r.sentCount() < kelSTUNUdpSends &&
                        c.msSince(r.sentTM()) > static_cast<uint64_t>(r.sentCount()) * 1000u)) {
                sendRequest(r, now);
            } else if (r.sentCount() >= kelSTUNUdpSends && c.msSince(r.sentTM()) > kelSTUNUdpLastWaitMs) {
                if (f_haveTriedRootSrv) {
                    r.setFatalError();
                    continue;
                }
                f_srvBrokenList.push_back(f_srvIndex);
                if (!selectServer()) {
                    r.setFatalError();
                    continue;
                }
                r.resetSent();
                sendRequest(r, now);
            }
            if (size > 0) {
                kelSocket* expected = r.socket() != nullptr ? r.socket() : f_socket.get();
                // Only the request's own socket, and from where it was sent.
                if (on == expected && (f_proto == kelSTUNProtoTCP || sameAddr(from, r.sentTo())))
                    (void)r.sameTrans(buf, static_cast<size_t>(size));
            }
        }
        for (auto it = f_requests.begin(); it != f_requests.end();) {
            if ((*it)->hasResponse() || (*it)->fatalError()) {
                done.push_back(std::move(*it));
                it = f_requests.erase(it);
            } else {
                ++it;
            }
        }
        work = !f_requests.empty();
        if (work) {
            f_noJobTM = now;
        } else if (c.msSince(f_noJobTM) > kelSTUNIdleMs) {
            // Decided under the lock, so req() knows to start a new run.
            f_ending = true;
            askStop();
        }
    }
    for (auto& r : done)
        report(*r);
    return work || !done.empty();
}

void kelSTUNclient::report(kelSTUNClient_req& r) noexcept
{
    kelSTUNResult res;
    res.code = -1;
    if (r.hasResponse() && !r.fatalError()) res = stunReadAnswer(r.response().data(), r.response().size());
    uint16_t boundPort = 0;
    kelSocket* s = r.socket() != nullptr ? r.socket() : f_socket.get();
    sockaddr_in bound{};
    if (s != nullptr && s->getSockAddrBound(bound) == 0) boundPort = ntohs(bound.sin_port);
    try {
        onResponse(&r, res.code, res.ip, res.port, boundPort);
    } catch (...) {
        logCaught("kelSTUNclient::onResponse");
    }
    if (r.event() != nullptr) r.event()->setState(true);
}

void kelSTUNclient::failAllPending() noexcept
{
    std::vector<std::unique_ptr<kelSTUNClient_req>> pending;
    {
        kelLock guard(&f_reqLock, false, 3000);
        if (!guard) return;
        pending.swap(f_requests);
        // Whatever comes after this waits for the next run.
        f_ending = true;
        f_srvBrokenList.clear();
    }
    for (auto& r : pending) {
        r->setFatalError();
        report(*r);
    }
}

void kelSTUNclient::onResponse(kelSTUNClient_req*, int, uint32_t, uint16_t, uint16_t) {}
