#include "net/rtp/kelRTCPstack.h"

#include "core/kelByteOrder.h"
#include "core/kelLog.h"
#include "net/rtp/kelSocks_SNTP.h"
#include "net/sockets/kelUdpSocket.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

// --- member list ---------------------------------------------------------------

kelRTCPSourceList::kelRTCPSourceList() : kelIdList(uldt_ptr, false)
{
    setAutoFree(true);
}

kelRTCPSourceList::~kelRTCPSourceList()
{
    // The base destructor can no longer reach releaseItem below.
    clear(2, true);
}

int64_t kelRTCPSourceList::getId(void* item) noexcept
{
    return static_cast<rtp_site_info*>(item)->r_ssrc;
}

void kelRTCPSourceList::releaseItem(intptr_t index, uintptr_t doFree) noexcept
{
    auto* m = static_cast<rtp_site_info*>(index >= 0 && index < count() ? itemAt(index) : nullptr);
    // Clears the slot and runs the release handler; uldt_ptr items are never
    // freed by the base.
    kelList::releaseItem(index, doFree);
    if (m == nullptr || !wantsFree(doFree)) return;
    // Whoever still holds the member found it before it left the list and
    // holds it only briefly: wait for them, then free.
    if (m->r_acq) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (m->r_acq->acquire(false, 100)) {
                m->r_acq->releaseWO();
                break;
            }
        }
    }
    delete m;
}

// --- idle thread -------------------------------------------------------------

intptr_t kelRTCPIdleThread::execute(uintptr_t)
{
    while (!shouldStop()) {
        sleepThread(100);
        if (shouldStop()) break;
        f_rtcp->timerTick();
    }
    return 0;
}

// --- stack: creation -----------------------------------------------------------

kelRTCPstack::kelRTCPstack(kelRTCPStackOwner* streamer, bool useNTP)
    : kelThread(false, kelThreadPriorityNormal), f_outBuf(4096), f_streamer(streamer),
      f_rng(std::random_device{}())
{
    f_idleThread.reset(kelCreate<kelRTCPIdleThread>(this));
    // Sender reports carry the process's shared, SNTP-corrected clock.
    f_ntp = [](kelNTP_timestamp& ntp) { return getNTPTime(&ntp); };
    if (useNTP) (void)getNTPTime(nullptr);
}

kelRTCPstack::~kelRTCPstack() = default;

uint32_t kelRTCPstack::random(uint32_t upperLimit) noexcept
{
    if (f_random) return f_random(upperLimit);
    std::lock_guard<std::mutex> guard(f_randomGuard);
    return std::uniform_int_distribution<uint32_t>(0, upperLimit)(f_rng);
}

void kelRTCPstack::callOwner(const char* what, const std::function<void(kelRTCPStackOwner&)>& call) noexcept
{
    if (f_streamer == nullptr) return;
    try {
        call(*f_streamer);
    } catch (...) {
        logCaught(std::string("the RTCP owner hook ") + what);
    }
}

// --- sequence numbers and sent RTP ---------------------------------------------

uint16_t kelRTCPstack::nextSeq() noexcept
{
    return static_cast<uint16_t>(f_seq.fetch_add(1) + 1);
}

void kelRTCPstack::onRTPSent(const rtp_hdr& header, size_t payloadSize) noexcept
{
    intptr_t score = f_we_sent.load();
    while (score < 5 && !f_we_sent.compare_exchange_weak(score, score + 1)) {
    }
    if (score == 0) ++f_senders;
    f_we_sentEver.store(true);
    f_rtpTS.store(header.timestamp());
    if (payloadSize > 0) {
        ++f_rtpPCount;
        f_rtpPSize += static_cast<uint32_t>(payloadSize);
    }
}

// --- members -------------------------------------------------------------------

rtp_site_info* kelRTCPstack::newMember(uint32_t ssrc) noexcept
{
    try {
        auto* m = new rtp_site_info;
        m->r_ssrc = ssrc;
        m->r_probation = kelRTPProbationRTCPOnly;
        m->r_lastRRreceivedTM = now();
        m->r_acq = std::make_shared<kelObject>();
        return m;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

rtp_site_info* kelRTCPstack::memberAcq(uint32_t ssrc, bool create, bool ro, intptr_t timeout,
                                       bool* created) noexcept
{
    if (created) *created = false;
    // The list lock is held until the member's lock is settled, so nobody
    // can remove and free the member in between.
    if (!f_members.lock(!create, timeout)) return nullptr;
    rtp_site_info* m = nullptr;
    const intptr_t index = f_members.indexOfId(ssrc);
    if (index >= 0) {
        m = f_members.member(index);
        if (m && !m->r_acq->acquire(ro, timeout)) m = nullptr;
    } else if (create) {
        m = newMember(ssrc);
        const bool locked = m && m->r_acq->acquire(false, 1);
        if (locked && f_members.add(static_cast<void*>(m)) >= 0) {
            if (created) *created = true;
        } else if (m) {
            if (locked) m->r_acq->releaseWO();
            delete m;
            m = nullptr;
        }
    }
    if (create)
        f_members.unlockWO();
    else
        f_members.unlockRO();
    return m;
}

rtp_site_info* kelRTCPstack::memberBySSRCAcq(uint32_t ssrc, bool ro, intptr_t timeout) noexcept
{
    if (f_members.count() == 0) return nullptr;
    return memberAcq(ssrc, false, ro, timeout, nullptr);
}

rtp_site_info* kelRTCPstack::memberByAddrAcq(bool isRTP, const sockaddr_in& addr, bool ro,
                                             intptr_t timeout) noexcept
{
    if (!f_members.lock(true, 200)) return nullptr;
    rtp_site_info* found = nullptr;
    for (intptr_t i = 0; i < f_members.count() && found == nullptr; ++i) {
        rtp_site_info* m = f_members.member(i);
        if (m == nullptr || !m->r_acq->acquire(ro, timeout)) continue;
        const bool valid = isRTP ? m->r_remoteAddrRTPValid : m->r_remoteAddrRTCPValid;
        if (valid && rtpSameAddr(isRTP ? m->r_remoteAddrRTP : m->r_remoteAddrRTCP, addr))
            found = m;
        else
            m->r_acq->releaseRO();
    }
    f_members.unlockRO();
    return found;
}

void kelRTCPstack::memberReleaseRO(rtp_site_info* member) noexcept
{
    if (member && member->r_acq) member->r_acq->releaseRO();
}

void kelRTCPstack::memberReleaseWO(rtp_site_info* member) noexcept
{
    if (member && member->r_acq) member->r_acq->releaseWO();
}

// --- received RTP --------------------------------------------------------------

void kelRTCPstack::processRTP(const sockaddr_in& from, const rtp_hdr& header, size_t) noexcept
{
    rtp_site_info* m = memberBySSRCAcq(header.ssrc(), false, 20);
    if (m == nullptr) return;
    if (!m->r_remoteAddrRTPValid) {
        m->r_remoteAddrRTP = from;
        m->r_remoteAddrRTPValid = kelTrue;
    }
    m->r_lastPayloadTM = now();
    m->r_heardOf = kelTrue;
    if (!m->r_isSender) {
        m->r_isSender = kelTrue;
        ++f_senders;
    }
    memberReleaseWO(m);
}

bool kelRTCPstack::isFirstMember(uint32_t ssrc) noexcept
{
    if (!f_members.lock(true, 20)) return false;
    const bool first = f_members.count() > 0 && f_members.idAt(0) == int64_t(ssrc);
    f_members.unlockRO();
    return first;
}

bool kelRTCPstack::updateSeq(uint32_t ssrc, uint16_t seq) noexcept
{
    const kelRTCPStackOwner* owner = f_streamer;
    if (owner && ssrc == owner->rtcpSSRC()) return false;
    rtp_site_info* m = memberAcq(ssrc, false, false, 40, nullptr);
    if (m == nullptr) {
        bool created = false;
        m = memberAcq(ssrc, true, false, 40, &created);
        // A member we can neither find nor make in time is still delivered:
        // losing media to lock contention would be worse than a missed count.
        if (m == nullptr) return true;
    }
    if (m->r_probation == kelRTPProbationRTCPOnly) rtpSeqStartProbation(*m, seq);
    if (f_confMode.load() && isFirstMember(ssrc)) {
        memberReleaseWO(m);
        return true;
    }
    const bool valid = rtpSeqUpdate(*m, seq);
    memberReleaseWO(m);
    return valid;
}

// --- received RTCP -------------------------------------------------------------

void kelRTCPstack::heard(const sockaddr_in& from, uint32_t ssrc, const kelRTCPPacketView& p) noexcept
{
    rtp_site_info* m = memberAcq(ssrc, false, false, 40, nullptr);
    if (m == nullptr) m = memberAcq(ssrc, true, false, 40, nullptr);
    if (m == nullptr) return;
    if (!m->r_remoteAddrRTCPValid) {
        m->r_remoteAddrRTCP = from;
        m->r_remoteAddrRTCPValid = kelTrue;
    }
    if (p.type == kelrtcp_SR || p.type == kelrtcp_RR) {
        const uint64_t t = now();
        if (p.type == kelrtcp_SR) {
            m->r_lastSRreceived = ntpMiddle32(p.ntp);
            m->r_lastSRreceivedTM = t;
        }
        m->r_lastRRreceivedTM = t;
        m->r_noRRsinceLastReport = kelFalse;
        m->r_timedout = m->r_hardBye;
    }
    std::shared_ptr<const rtcp_sdes_item> cname;
    if (p.type == kelrtcp_SDES && p.cname != nullptr) {
        try {
            auto item = std::make_shared<rtcp_sdes_item>();
            item->r_type = kelSDES_CNAME;
            item->length = p.cnameLength;
            std::memcpy(item->r_data.data(), p.cname, p.cnameLength);
            m->r_cname = item;
            cname = std::move(item);
        } catch (const std::bad_alloc&) {
            // The CNAME is not kept; the member stays.
        }
    }
    memberReleaseWO(m);
    if (cname) callOwner("onSDESItem", [&](kelRTCPStackOwner& o) { o.onSDESItem(ssrc, *cname); });
}

void kelRTCPstack::bye(uint32_t ssrc) noexcept
{
    rtp_site_info* m = memberBySSRCAcq(ssrc, false, 100);
    if (m == nullptr) return;
    m->r_hardBye = kelTrue;
    std::unique_ptr<rtp_site_info> gone;
    if (!m->r_byeReported) {
        m->r_byeReported = kelTrue;
        try {
            gone = std::make_unique<rtp_site_info>(*m);
        } catch (const std::bad_alloc&) {
            // The BYE is not reported to the owner.
        }
    }
    memberReleaseWO(m);
    if (gone) callOwner("onMemberGone", [&](kelRTCPStackOwner& o) { o.onMemberGone(gone.get(), false); });
}

void kelRTCPstack::processRTCP(const sockaddr_in& from, const uint8_t* data, size_t size) noexcept
{
    const uint32_t own = f_streamer ? f_streamer->rtcpSSRC() : 0;
    kelRTCPReader reader(data, size);
    kelRTCPPacketView p;
    bool first = true;
    uint32_t firstSSRC = 0;
    while (reader.next(p)) {
        if (first && p.hasSSRC) firstSSRC = p.ssrc;
        first = false;
        if (!p.hasSSRC || p.ssrc == own) continue;
        switch (p.type) {
        case kelrtcp_SR:
        case kelrtcp_RR:
        case kelrtcp_SDES:
            heard(from, p.ssrc, p);
            break;
        case kelrtcp_APP:
            heard(from, p.ssrc, p);
            processAPP(from, p.packet, p.count, p.appName, p.appData, p.appDataSize);
            break;
        case kelrtcp_BYE:
            bye(p.ssrc);
            break;
        default:
            break;
        }
    }
    if (firstSSRC != 0 && firstSSRC != own)
        callOwner("onRTCPPacket", [&](kelRTCPStackOwner& o) { o.onRTCPPacket(firstSSRC, from, data, size); });
}

void kelRTCPstack::processAPP(const sockaddr_in& from, const uint8_t* packet, uint8_t subtype,
                              const char* name, const uint8_t* data, size_t size) noexcept
{
    const uint32_t ssrc = packet ? kelLoadBE32(packet + 4) : 0;
    if (std::memcmp(name, "_RTT", 4) != 0) {
        callOwner("onRTCPApp",
                  [&](kelRTCPStackOwner& o) { o.onRTCPApp(from, ssrc, subtype, name, data, size); });
        return;
    }
    if (!f_rttEnabled.load() || size < kelRTTPayloadSize) return;
    const uint32_t own = f_streamer ? f_streamer->rtcpSSRC() : 0;
    const kelRTTPayload rtt = kelRTTPayload::read(data);
    if (subtype == kelRTTProbe && rtt.probedSSRC == own) {
        (void)sendAPPto(from, kelRTTEcho, "_RTT", data, kelRTTPayloadSize, false);
    } else if (subtype == kelRTTEcho && rtt.proberSSRC == own && ssrc == rtt.probedSSRC) {
        rtp_site_info* m = memberBySSRCAcq(ssrc, false, 40);
        if (m == nullptr) return;
        if (m->r_rttMagic == rtt.magic) {
            const uint64_t t = std::max(now(), rtt.timeMark);
            m->r_rtt = static_cast<uint32_t>(t - rtt.timeMark);
        }
        memberReleaseWO(m);
    }
}
