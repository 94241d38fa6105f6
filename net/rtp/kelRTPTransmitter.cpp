#include "net/rtp/kelRTPTransmitter.h"

#include "core/kelLog.h"
#include "core/kelParseInt.h"
#include "net/rtp/kelDatagramDemux.h"
#include "net/rtp/kelRTCPParser.h"
#include "net/sockets/kelSockets.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <random>

namespace {

// A comfort-noise ping to a silent member goes at most this often.
constexpr uint64_t kRtpPingSpacing = 15000;

bool equalsIgnoringCase(const kelString& a, const kelString& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
               return lower(x) == lower(y);
           });
}

} // namespace

kelRTPTransmitter::kelRTPTransmitter(intptr_t payload, bool isRAW, bool noRTCP, const kelString& bind2ip,
                                     const kelString& bind2port, const kelString& mgroup, intptr_t ttl)
    : f_isRAW(isRAW), f_ttl(ttl)
{
    setPayload(payload);
    const kelString address = mgroup.empty() ? bind2ip : mgroup;
    if (isLocalBinding(address, bind2port)) {
        f_bind2ip = bind2ip;
        f_bind2port = bind2port;
    } else {
        // A peer or a group: it is where we send, and we listen anywhere.
        f_bind2ip = u"0.0.0.0";
        f_bind2port = u"0";
    }
    f_receiver.reset(
        kelCreate<kelRTPReceiver>(f_bind2port, mgroup, isRAW, f_bind2ip, this, true, noRTCP, ttl));
    if (!isLocalBinding(address, bind2port)) {
        const int64_t port = parseInteger(bind2port, 0);
        sockaddr_in rtp{};
        rtp.sin_family = AF_INET;
        rtp.sin_addr.s_addr = str2ipN(address);
        rtp.sin_port = htons(static_cast<uint16_t>(port));
        sockaddr_in rtcpAddr = rtp;
        rtcpAddr.sin_port = htons(static_cast<uint16_t>(port + 1));
        (void)destAdd(true, &rtp, &rtcpAddr, false);
    }
}

kelRTPTransmitter::~kelRTPTransmitter() = default;

bool kelRTPTransmitter::isLocalBinding(const kelString& address, const kelString& port) const
{
    const uint32_t a = address.empty() ? 0 : str2ipN(address);
    if (a == 0 || a == INADDR_NONE || parseInteger(port, 0) == 0) return true;
    if ((ntohl(a) >> 24) == 127) return true;
    kelString first;
    std::vector<kelString> local;
    if (lookupHost(kelString(), first, &local) == 0) {
        const kelString dotted = ipN2str(a);
        for (const kelString& l : local)
            if (equalsIgnoringCase(l, dotted)) return true;
    }
    return false;
}

void kelRTPTransmitter::beforeDestruction()
{
    close(false);
    f_receiver.reset();
    f_destinations.clear(2);
    kelObject::beforeDestruction();
}

void kelRTPTransmitter::setClock(const kelClock& clock) noexcept
{
    if (f_receiver) f_receiver->setClock(clock);
}

void kelRTPTransmitter::setNewSSRC(uint32_t newssrc) noexcept
{
    if (f_receiver) f_receiver->setNewSSRC(newssrc);
}

// --- payload clocks ----------------------------------------------------------------

void kelRTPTransmitter::setPayload(intptr_t payload) noexcept
{
    f_payload.store(payload);
    if (payload == kelRTPPayloadL16Stereo || payload == kelRTPPayloadL16Mono) {
        f_RTPclockRate.store(44100);
        f_sr.store(44100);
    } else if (payload == kelRTPPayloadMPA) {
        // The 90 kHz clock counts time, not samples: convert from the rate
        // the stream really has.
        const uint32_t rate = f_streamRate.load();
        f_RTPclockRate.store(90000);
        f_sr.store(rate != 0 ? rate : 44100);
    } else {
        f_RTPclockRate.store(8000);
        f_sr.store(8000);
    }
}

void kelRTPTransmitter::setSamplingRate(uint32_t rate) noexcept
{
    f_streamRate.store(rate);
    if (f_payload.load() == kelRTPPayloadMPA) f_sr.store(rate != 0 ? rate : 44100);
}

// --- open and close ------------------------------------------------------------------

bool kelRTPTransmitter::active() const noexcept
{
    return f_receiver && f_receiver->active();
}

void kelRTPTransmitter::setActive(bool value) noexcept
{
    if (value)
        (void)open();
    else
        close(false);
}

bool kelRTPTransmitter::open() noexcept
{
    std::lock_guard<std::mutex> guard(f_stateGuard);
    if (!active()) {
        try {
            (void)doOpen();
        } catch (...) {
            logCaught("kelRTPTransmitter::doOpen");
        }
    }
    return active();
}

void kelRTPTransmitter::close(bool clearAllDest) noexcept
{
    std::lock_guard<std::mutex> guard(f_stateGuard);
    try {
        // Also after an open whose receiver could not bind: the
        // destinations were opened all the same.
        if (f_opened.exchange(false) || active()) doClose(clearAllDest);
    } catch (...) {
        logCaught("kelRTPTransmitter::doClose");
    }
    if (clearAllDest) f_destinations.clear(2);
}

bool kelRTPTransmitter::doOpen()
{
    {
        static thread_local std::mt19937 rng{std::random_device{}()};
        std::lock_guard<std::mutex> build(f_buildGuard);
        f_timestamp.store(std::uniform_int_distribution<uint32_t>(0, 0x6FFFFFFF)(rng));
    }
    f_rtpPingTM.store(0);
    if (!f_receiver) return false;
    f_receiver->setBind2ip(f_bind2ip);
    f_receiver->setBind2port(f_bind2port);
    if (!f_receiver->start(10000)) return false;
    f_opened.store(true);
    f_socketError.store(f_receiver->socketError());
    // Destinations open once the receiver's socket is bound: they share
    // its port.
    if (f_destinations.lock(true, 1000)) {
        for (intptr_t i = 0; i < f_destinations.count(); ++i)
            if (auto* d = static_cast<kelRTPDestination*>(f_destinations.getObject(i))) (void)d->openDest();
        f_destinations.unlockRO();
    }
    f_lastDestTOCheckTM.store(now());
    return f_receiver->active();
}

void kelRTPTransmitter::doClose(bool)
{
    // The receiver's RTCP stack says BYE as it stops, also through the
    // destinations: they close only after it.
    if (f_receiver) {
        f_receiver->askStop();
        (void)f_receiver->stop(3000, true);
    }
    if (f_destinations.lock(true, 1000)) {
        for (intptr_t i = 0; i < f_destinations.count(); ++i)
            if (auto* d = static_cast<kelRTPDestination*>(f_destinations.getObject(i))) d->closeDest();
        f_destinations.unlockRO();
    }
    std::lock_guard<std::mutex> build(f_buildGuard);
    std::vector<uint8_t>().swap(f_sendBuf);
}

// --- sending -----------------------------------------------------------------------------

intptr_t kelRTPTransmitter::transmit(uint32_t samplesDelta, const uint8_t* data, size_t len, bool marker,
                                     intptr_t tpayload, const sockaddr_in* addr, const uint8_t* prebufData,
                                     size_t prebufDataLen, bool updateWeSent) noexcept
{
    if (f_paused.load() || !active()) return 0;
    if (f_isRAW) return data ? retransmit(data, len, false, false) : 0;
    std::lock_guard<std::mutex> build(f_buildGuard);
    const size_t size = kelRTPHeaderSize + (prebufData ? prebufDataLen : 0) + (data ? len : 0);
    try {
        if (f_sendBuf.size() < size) f_sendBuf.resize(size);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    const uint8_t pt = static_cast<uint8_t>(tpayload >= 0 ? tpayload : f_payload.load());
    kelRTCPstack* stack = rtcp();
    const uint16_t seq = stack ? stack->nextSeq() : 0;
    const uint32_t sr = std::max<uint32_t>(1, f_sr.load());
    const uint32_t ts =
        f_timestamp.load() + static_cast<uint32_t>(uint64_t(samplesDelta) * f_RTPclockRate.load() / sr);
    f_timestamp.store(ts);
    f_hdr.setMarkerPT(marker, pt);
    f_hdr.setSeq(seq);
    f_hdr.setTimestamp(ts);
    f_hdr.setSsrc(_SSRC());
    f_hdr.write(f_sendBuf.data());
    size_t at = kelRTPHeaderSize;
    if (prebufData && prebufDataLen) {
        std::memcpy(f_sendBuf.data() + at, prebufData, prebufDataLen);
        at += prebufDataLen;
    }
    if (data && len) std::memcpy(f_sendBuf.data() + at, data, len);
    // Sending RTP keeps the path open; no need for pings meanwhile.
    f_rtpPingTM.store(now());
    if (addr != nullptr) {
        const int rc = sendTo(addr, f_sendBuf.data(), size, false, updateWeSent);
        return rc == 0 ? static_cast<intptr_t>(size) : 0;
    }
    return retransmit(f_sendBuf.data(), size, updateWeSent, false);
}

intptr_t kelRTPTransmitter::retransmit(const uint8_t* data, size_t len, bool updateWeSent,
                                       bool isRTCP) noexcept
{
    if (f_paused.load() || data == nullptr || len == 0) return 0;
    kelRTCPstack* stack = rtcp();
    intptr_t sent = 0;
    bool anySent = false;
    // RTP to unicast destinations leaves in batches after the walk: one
    // system call for many destinations instead of one each.
    std::vector<sockaddr_in> batch;
    if (!f_destinations.lock(true, 20)) return 0;
    try {
        if (!isRTCP && f_receiver) batch.reserve(static_cast<size_t>(f_destinations.count()));
    } catch (const std::bad_alloc&) {
    }
    for (intptr_t i = 0; i < f_destinations.count(); ++i) {
        auto* d = static_cast<kelRTPDestination*>(f_destinations.getObject(i));
        if (d == nullptr || !d->acquire(true, 60)) continue;
        // A disabled destination is passed over, not counted as sent.
        if (d->enabled()) {
            bool skip = false;
            if (isRTCP && stack) {
                // The stack reports to its known members itself.
                if (stack->session().reportsTo(*d->addrRTCP(), 100)) {
                    skip = true;
                    sent += static_cast<intptr_t>(len);
                }
            }
            if (!skip && !isRTCP && d->isOpen() && d->scope() == kelrds_unicast &&
                batch.size() < batch.capacity()) {
                batch.push_back(*d->addrRTP());
                skip = true;
            }
            if (!skip) {
                const int rc = d->transmit(data, len, isRTCP);
                if (rc == 0) {
                    sent += static_cast<intptr_t>(len);
                    anySent = true;
                } else {
                    f_socketError.store(rc);
                }
            }
        }
        d->releaseRO();
    }
    f_destinations.unlockRO();
    if (!batch.empty()) {
        size_t went = 0;
        const int rc = f_receiver->sendDatagrams(batch.data(), batch.size(), data, len, 10, went);
        if (rc != 0) f_socketError.store(rc);
        sent += static_cast<intptr_t>(went * len);
        anySent = anySent || went > 0;
    }
    // One packet sent, however many copies went out: the sender report
    // counts packets and octets of the stream, not of the fan-out.
    if (anySent && updateWeSent && !isRTCP && f_receiver) f_receiver->onRTPSent(sockaddr_in{}, data, len);
    return sent;
}

int kelRTPTransmitter::sendTo(const sockaddr_in* addr, const uint8_t* data, size_t len, bool isRTCP,
                              bool ownPacket) noexcept
{
    if (f_paused.load()) return 0;
    if (addr == nullptr || !f_receiver) return WSAENOTSOCK;
    int rc;
    if (isRTCP) {
        rc = sendRTCPDatagram(*addr, data, len);
    } else {
        rc = sendRTPDatagram(*addr, data, len);
        if (rc == 0 && ownPacket) f_receiver->onRTPSent(*addr, data, len);
    }
    if (rc != 0) f_socketError.store(rc);
    return rc;
}

int kelRTPTransmitter::sendRTPDatagram(const sockaddr_in& to, const uint8_t* data, size_t size) noexcept
{
    return f_receiver ? f_receiver->sendDatagram(to, data, size, 10) : WSAENOTSOCK;
}

int kelRTPTransmitter::sendRTCPDatagram(const sockaddr_in& to, const uint8_t* data, size_t size) noexcept
{
    kelRTCPstack* stack = rtcp();
    return stack ? stack->sendTo(&to, data, size) : WSAENOTSOCK;
}

// --- hooks ---------------------------------------------------------------------------------

void kelRTPTransmitter::onRTCPReport(const uint8_t* data, size_t size)
{
    (void)retransmit(data, size, false, true);
}

void kelRTPTransmitter::onSDESItem(uint32_t, const rtcp_sdes_item&) {}

void kelRTPTransmitter::onRTPData(const sockaddr_in& from, const uint8_t* header, const uint8_t*, size_t,
                                  size_t packetSize)
{
    if (header == nullptr || packetSize < kelRTPHeaderSize || f_receiver == nullptr || f_receiver->isRAW())
        return;
    const rtp_hdr h = rtp_hdr::read(header);
    // A standard endpoint sends its own media (text, keep-alives) from the
    // port it wants ours at; our own receivers send a comfort-noise ping.
    if (h.payloadType() == kelRTPPayloadCN || learnsFromPeers()) learnFrom(from, nullptr, h.ssrc());
    if (f_isTranslator.load()) (void)retransmit(header, packetSize, false, false);
}

void kelRTPTransmitter::onSTUN(const sockaddr_in& from, const uint8_t* data, size_t size)
{
    // A connectivity check or NAT keep-alive from the peer's media port.
    if (learnsFromPeers() && kelIsSTUNBindingCheck(data, size)) learnFrom(from, nullptr, 0);
}

bool kelRTPTransmitter::learnsFromPeers() const noexcept
{
    // A group's members hear each other: none of them is a unicast
    // destination. A translator would send a sender its own packets.
    return f_receiver && !f_receiver->isRAW() && !f_receiver->isMulticast() && !f_isTranslator.load();
}

void kelRTPTransmitter::learnFrom(const sockaddr_in& rtpAddr, const sockaddr_in* rtcpFrom,
                                  uint32_t ssrc) noexcept
{
    if (destHas(rtpAddr)) return;
    sockaddr_in rtcpAddr = rtcpFrom ? *rtcpFrom : rtpAddr;
    if (rtcpFrom == nullptr) {
        rtcpAddr.sin_port = htons(static_cast<uint16_t>(ntohs(rtpAddr.sin_port) + 1));
        kelRTCPstack* stack = rtcp();
        // The member's own RTCP address (a translator may have mapped its
        // port), but only on the host the packet came from: one naming
        // someone else's SSRC must not borrow that member's reports.
        rtp_site_info m;
        if (stack && ssrc != 0 && stack->session().memberCopy(ssrc, m, 100) && m.r_remoteAddrRTCPValid &&
            m.r_remoteAddrRTCP.sin_addr.s_addr == rtpAddr.sin_addr.s_addr)
            rtcpAddr = m.r_remoteAddrRTCP;
    }
    std::lock_guard<std::mutex> guard(f_learnGuard);
    // The same source heard again from another port of its host (its RTP
    // port guessed from its RTCP port, then heard for real) moves.
    if (ssrc != 0) dropLearntOf(ssrc, rtpAddr);
    if (!admitLearnt()) {
        ++f_holesRefused;
        return;
    }
    if (destAdd(false, &rtpAddr, &rtcpAddr, true, true, ssrc) >= 0) ++f_learntInWindow;
}

void kelRTPTransmitter::learnFromReport(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet,
                                        size_t size) noexcept
{
    if (!learnsFromPeers() || packet == nullptr) return;
    // RTP on an even port, its RTCP on the odd port above: a report from an
    // odd port names the sender's RTP port. Guessed only for a source whose
    // RTP has not been heard, and only from a report (a compound opens with
    // SR or RR) that is no goodbye.
    const uint16_t port = ntohs(from.sin_port);
    if ((port & 1) == 0) return;
    kelRTCPReader reader(packet, size);
    kelRTCPPacketView p;
    bool first = true;
    while (reader.next(p)) {
        if (first && p.type != kelrtcp_SR && p.type != kelrtcp_RR) return;
        if (p.type == kelrtcp_BYE) return;
        first = false;
    }
    if (first) return;
    kelRTCPstack* stack = rtcp();
    rtp_site_info m;
    if (stack && stack->session().memberCopy(ssrc, m, 100) && m.r_remoteAddrRTPValid) return;
    sockaddr_in rtpAddr = from;
    rtpAddr.sin_port = htons(static_cast<uint16_t>(port - 1));
    learnFrom(rtpAddr, &from, ssrc);
}

void kelRTPTransmitter::onRTCPApp(const sockaddr_in&, uint32_t ssrc, uint8_t, const char* name,
                                  const uint8_t*, size_t)
{
    // "HELO" needs nothing more: the stack has noted its sender already.
    if (name != nullptr && std::memcmp(name, "NPNG", 4) == 0) answerWithPing(ssrc);
}

void kelRTPTransmitter::answerWithPing(uint32_t ssrc) noexcept
{
    kelRTCPstack* stack = rtcp();
    if (stack == nullptr || !f_receiver) return;
    // Only a validated member is answered: a forged SSRC must not make us
    // send to whatever address it claimed.
    rtp_site_info m;
    if (stack->session().memberCopy(ssrc, m, 100) && m.r_validated && m.r_remoteAddrRTPValid)
        (void)f_receiver->sendRTP_CN_To(m.r_remoteAddrRTP);
}

void kelRTPTransmitter::onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet,
                                     size_t size)
{
    kelRTCPstack* stack = rtcp();
    if (f_rtpPing.load() && stack && stack->weSent() <= 0) {
        const uint64_t t = now();
        const uint64_t last = f_rtpPingTM.load();
        // In a conference only the peer (the first member) is pinged.
        const bool eligible = !stack->conferenceMode() || stack->session().isFirstMember(ssrc);
        if (eligible && (last == 0 || t - last >= kRtpPingSpacing)) {
            rtp_site_info m;
            if (stack->session().memberCopy(ssrc, m, 100) && m.r_validated && m.r_remoteAddrRTPValid &&
                f_receiver->sendRTP_CN_To(m.r_remoteAddrRTP) == 0)
                f_rtpPingTM.store(t);
        }
    }
    learnFromReport(ssrc, from, packet, size);
    checkDestinations(ssrc, &from, packet, size);
}

void kelRTPTransmitter::onIdle(bool)
{
    checkDestinations(0, nullptr, nullptr, 0);
}

bool kelRTPTransmitter::acceptDestination(const sockaddr_in& destRTP, const sockaddr_in& destRTCP,
                                          bool fromHole)
{
    bool accept = true;
    if (f_onAddDest) {
        try {
            f_onAddDest(this, fromHole, destRTP, destRTCP, accept);
        } catch (...) {
            logCaught("the onAddDest handler");
            accept = false;
        }
    }
    return accept;
}
