// The destination side of kelRTPTransmitter: adding, finding and removing
// destinations, and the keep-alive that drops destinations whose receivers
// have gone quiet.
#include "net/rtp/kelRTPTransmitter.h"

#include "core/kelLog.h"
#include "net/rtp/kelRTCPParser.h"
#include "net/sockets/kelSockets.h"

#include <arpa/inet.h>

#include <new>

namespace {

// A destination is silent when no report about us arrived for this long.
constexpr uint64_t kDestSilence = 25000;
// The keep-alive runs on its own (without a report) this often.
constexpr uint64_t kDestCheckSpacing = 6000;
// A learnt destination not heard from for this long (or never) may make
// room for a new one: a receiver reports every few seconds.
constexpr uint64_t kLearntQuiet = 15000;

bool addressFromURI(const kelString& uri, sockaddr_in& rtp, sockaddr_in& rtcpAddr)
{
    kelURICrack crack;
    if (!crackURI(uri, crack) || crack.r_hostName.empty()) return false;
    const uint32_t ipH = hostToIpH(crack.r_hostName, 0);
    if (ipH == 0) return false;
    rtp = sockaddr_in{};
    rtp.sin_family = AF_INET;
    rtp.sin_addr.s_addr = htonl(ipH);
    rtp.sin_port = htons(crack.r_port);
    rtcpAddr = rtp;
    rtcpAddr.sin_port = htons(static_cast<uint16_t>(crack.r_port + 1));
    return true;
}

} // namespace

intptr_t kelRTPTransmitter::indexOfDest(const sockaddr_in& addrRTP, bool checkPort) noexcept
{
    for (intptr_t i = 0; i < f_destinations.count(); ++i) {
        auto* d = static_cast<kelRTPDestination*>(f_destinations.getObject(i));
        if (d == nullptr) continue;
        const sockaddr_in* a = d->addrRTP();
        if (a->sin_addr.s_addr == addrRTP.sin_addr.s_addr && (!checkPort || a->sin_port == addrRTP.sin_port))
            return i;
    }
    return -1;
}

intptr_t kelRTPTransmitter::destAdd(bool dstatic, const kelString& remoteHost, const kelString& remotePortRTP,
                                    const kelString& remotePortRTCP, bool doOpen, intptr_t, uint32_t recSSRC,
                                    bool fromHole) noexcept
{
    const uint32_t ipH = hostToIpH(remoteHost, 0);
    const int portRTP = portFromString(remotePortRTP);
    if (ipH == 0 || portRTP < 0) return -1;
    int portRTCP = portFromString(remotePortRTCP);
    if (portRTCP < 0) portRTCP = portRTP + 1;
    sockaddr_in rtp{};
    rtp.sin_family = AF_INET;
    rtp.sin_addr.s_addr = htonl(ipH);
    rtp.sin_port = htons(static_cast<uint16_t>(portRTP));
    sockaddr_in rtcpAddr = rtp;
    rtcpAddr.sin_port = htons(static_cast<uint16_t>(portRTCP));
    return destAdd(dstatic, &rtp, &rtcpAddr, doOpen, fromHole, recSSRC);
}

intptr_t kelRTPTransmitter::destAdd(bool dstatic, const sockaddr_in* addrRTP, const sockaddr_in* addrRTCP,
                                    bool doOpen, bool fromHole, uint32_t recSSRC) noexcept
{
    if (addrRTP == nullptr) return -1;
    sockaddr_in rtcpAddr = addrRTCP ? *addrRTCP : *addrRTP;
    if (addrRTCP == nullptr) rtcpAddr.sin_port = htons(static_cast<uint16_t>(ntohs(addrRTP->sin_port) + 1));
    if (destHas(*addrRTP)) return -1;
    bool accept = false;
    try {
        accept = acceptDestination(*addrRTP, rtcpAddr, fromHole);
    } catch (...) {
        logCaught("kelRTPTransmitter::acceptDestination");
    }
    if (!accept) return -1;
    // The transmitter's TTL, whatever the caller gave.
    auto* d = kelCreate<kelRTPDestination>(dstatic, this, *addrRTP, &rtcpAddr, doOpen, f_ttl, recSSRC);
    if (d == nullptr) return -1;
    d->setLearnt(fromHole);
    if (!f_destinations.lock(false, 1000)) {
        kelFree(d);
        return -1;
    }
    // Checked again under the write lock: two threads may race to add the
    // same sender.
    intptr_t index = -1;
    if (indexOfDest(*addrRTP, true) < 0) index = f_destinations.add(static_cast<kelObject*>(d));
    f_destinations.unlockWO();
    if (index < 0) kelFree(d);
    return index < 0 ? -1 : index;
}

intptr_t kelRTPTransmitter::destAdd(bool dstatic, const kelString& uri, bool doOpen, intptr_t ttl,
                                    uint32_t recSSRC) noexcept
{
    sockaddr_in rtp{}, rtcpAddr{};
    if (!addressFromURI(uri, rtp, rtcpAddr)) return -1;
    (void)ttl;
    return destAdd(dstatic, &rtp, &rtcpAddr, doOpen, false, recSSRC);
}

bool kelRTPTransmitter::admitLearnt() noexcept
{
    const uint64_t t = now();
    if (f_learntInWindow == 0 || t < f_learnWindow || t - f_learnWindow >= 1000) {
        f_learnWindow = t;
        f_learntInWindow = 0;
    }
    if (f_learntInWindow >= f_learntRate.load()) return false;
    if (!f_destinations.lock(false, 100)) return false;
    intptr_t learnt = 0;
    intptr_t victim = -1;
    bool victimReported = true;
    uint64_t victimHeard = 0;
    for (intptr_t i = 0; i < f_destinations.count(); ++i) {
        auto* d = static_cast<kelRTPDestination*>(f_destinations.getObject(i));
        if (d == nullptr || !d->learnt()) continue;
        ++learnt;
        const bool reported = d->reported();
        const uint64_t heard = d->lastRRTM();
        if (reported && t - std::min(t, heard) <= kLearntQuiet) continue;
        // Never heard from beats merely quiet; then the longest silence.
        if (victim < 0 || (victimReported && !reported) ||
            (victimReported == reported && heard < victimHeard)) {
            victim = i;
            victimReported = reported;
            victimHeard = heard;
        }
    }
    bool room = learnt < f_maxLearnt.load();
    if (!room && victim >= 0) room = f_destinations.removeByIndex(victim, 2);
    f_destinations.unlockWO();
    return room;
}

void kelRTPTransmitter::dropLearntOf(uint32_t ssrc, const sockaddr_in& rtpAddr) noexcept
{
    if (!f_destinations.lock(false, 100)) return;
    for (intptr_t i = 0; i < f_destinations.count(); ++i) {
        auto* d = static_cast<kelRTPDestination*>(f_destinations.getObject(i));
        if (d == nullptr || !d->learnt() || d->recSSRC() != ssrc) continue;
        const sockaddr_in* a = d->addrRTP();
        if (a->sin_addr.s_addr == rtpAddr.sin_addr.s_addr && a->sin_port != rtpAddr.sin_port) {
            (void)f_destinations.removeByIndex(i, 2);
            break;
        }
    }
    f_destinations.unlockWO();
}

bool kelRTPTransmitter::destEnable(const kelString& uri, bool doEnable) noexcept
{
    sockaddr_in rtp{}, rtcpAddr{};
    if (!addressFromURI(uri, rtp, rtcpAddr)) return false;
    kelRTPDestination* d = destGetAcq(rtp, false);
    if (d == nullptr) return false;
    if (doEnable && !d->isOpen()) (void)d->openDest();
    d->setEnabled(doEnable);
    kelObject::releaseOf(d);
    return true;
}

kelRTPDestination* kelRTPTransmitter::destGetAcq(intptr_t index, bool ro) noexcept
{
    return static_cast<kelRTPDestination*>(f_destinations.lockObject(index, ro, 60));
}

kelRTPDestination* kelRTPTransmitter::destGetAcq(const sockaddr_in& addrRTP, bool ro) noexcept
{
    if (!f_destinations.lock(true, 998)) return nullptr;
    const intptr_t index = indexOfDest(addrRTP, true);
    kelRTPDestination* d = nullptr;
    if (index >= 0) d = static_cast<kelRTPDestination*>(f_destinations.lockObject(index, ro, 999));
    f_destinations.unlockRO();
    return d;
}

bool kelRTPTransmitter::destHas(const sockaddr_in& addrRTP) noexcept
{
    if (!f_destinations.lock(true, 1000)) return false;
    const bool has = indexOfDest(addrRTP, true) >= 0;
    f_destinations.unlockRO();
    return has;
}

bool kelRTPTransmitter::destRemove(const kelString& uri) noexcept
{
    sockaddr_in rtp{}, rtcpAddr{};
    return addressFromURI(uri, rtp, rtcpAddr) && destRemove(rtp);
}

bool kelRTPTransmitter::destRemove(const sockaddr_in& addrRTP) noexcept
{
    if (!f_destinations.lock(false, 1000)) return false;
    const intptr_t index = indexOfDest(addrRTP, true);
    const bool removed = index >= 0 && f_destinations.removeByIndex(index, 2);
    f_destinations.unlockWO();
    return removed;
}

bool kelRTPTransmitter::destRemove(kelRTPDestination* dest) noexcept
{
    return dest != nullptr && f_destinations.removeItem(static_cast<kelObject*>(dest), 2);
}

// --- keep-alive ---------------------------------------------------------------------------

void kelRTPTransmitter::checkDestinations(uint32_t reporterSSRC, const sockaddr_in* from,
                                          const uint8_t* packet, size_t size) noexcept
{
    const uint64_t t = now();
    if (packet == nullptr && t - std::min(t, f_lastDestTOCheckTM.load()) <= kDestCheckSpacing) return;
    f_lastDestTOCheckTM.store(t);
    const uint32_t own = _SSRC();

    // Does the datagram carry a report block about us?
    bool aboutUs = false;
    if (packet != nullptr) {
        kelRTCPReader reader(packet, size);
        kelRTCPPacketView p;
        while (!aboutUs && reader.next(p)) {
            if (p.type != kelrtcp_SR && p.type != kelrtcp_RR) continue;
            for (unsigned i = 0; i < p.blockCount && !aboutUs; ++i)
                aboutUs = p.block(i).ssrc == own;
        }
    }

    if (packet != nullptr && f_destinations.lock(true, 20)) {
        for (intptr_t i = 0; i < f_destinations.count(); ++i) {
            auto* d = static_cast<kelRTPDestination*>(f_destinations.getObject(i));
            if (d == nullptr) continue;
            // Only the destination's own RTCP address keeps it alive: a
            // report naming its SSRC from anywhere else proves nothing.
            const uint32_t expected = d->recSSRC();
            const bool alive = from && d->sameAddr(false, *from, false) &&
                               ((expected != 0 && expected == reporterSSRC) || aboutUs);
            if (alive) d->markReported(t);
        }
        f_destinations.unlockRO();
    }

    // Silent unicast destinations: static ones close, dynamic ones go.
    // Multicast and broadcast destinations stay: their receivers report
    // from addresses of their own, never from the group's.
    struct Gone
    {
        sockaddr_in rtp;
        sockaddr_in rtcp;
    };
    std::vector<Gone> gone;
    if (!f_destinations.lock(false, 20)) return;
    for (intptr_t i = 0; i < f_destinations.count();) {
        auto* d = static_cast<kelRTPDestination*>(f_destinations.getObject(i));
        if (d == nullptr || d->scope() != kelrds_unicast || !d->isOpen() ||
            t - std::min(t, d->lastRRTM()) <= kDestSilence) {
            ++i;
            continue;
        }
        try {
            gone.push_back(Gone{*d->addrRTP(), *d->addrRTCP()});
        } catch (const std::bad_alloc&) {
            // The owner is not told; the destination still goes.
        }
        if (d->dstatic()) {
            d->closeDest();
            ++i;
        } else {
            (void)f_destinations.removeByIndex(i, 2);
        }
    }
    f_destinations.unlockWO();
    for (const Gone& g : gone) {
        rtp_site_info member;
        member.r_remoteAddrRTP = g.rtp;
        member.r_remoteAddrRTPValid = kelTrue;
        member.r_remoteAddrRTCP = g.rtcp;
        member.r_remoteAddrRTCPValid = kelTrue;
        member.r_timedout = kelTrue;
        try {
            onMemberGone(&member, true);
        } catch (...) {
            logCaught("kelRTPTransmitter::onMemberGone");
        }
    }
}

void kelRTPTransmitter::onMemberGone(const rtp_site_info* member, bool)
{
    kelRTCPstack* stack = rtcp();
    if (stack == nullptr || stack->conferenceMode() || member == nullptr || !member->r_remoteAddrRTCPValid)
        return;
    if (!f_destinations.lock(false, 100)) return;
    for (intptr_t i = 0; i < f_destinations.count();) {
        auto* d = static_cast<kelRTPDestination*>(f_destinations.getObject(i));
        if (d == nullptr || !d->sameAddr(false, member->r_remoteAddrRTCP, false)) {
            ++i;
            continue;
        }
        if (d->dstatic()) {
            d->closeDest();
            ++i;
        } else {
            (void)f_destinations.removeByIndex(i, 2);
        }
    }
    f_destinations.unlockWO();
}
