// kelRTCPSession: the member table, received RTP and RTCP, and the queries.
// The report side is in kelRTCPSessionReport.cpp.
#include "net/rtp/kelRTCPSession.h"

#include "core/kelLog.h"
#include "core/kelByteOrder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

// --- member list ---------------------------------------------------------------

kelRTCPSourceList::kelRTCPSourceList() : kelIdList(uldt_ptr, true)
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
    if (m == nullptr) return;
    if (!wantsFree(doFree)) {
        if (m->r_validated) --f_validated;
        return;
    }
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
    if (m->r_validated) --f_validated;
    delete m;
}

void kelRTCPSourceList::markValidated(rtp_site_info& member) noexcept
{
    if (member.r_validated) return;
    member.r_validated = kelTrue;
    ++f_validated;
}

// --- session: creation -------------------------------------------------------

kelRTCPSession::kelRTCPSession(kelRTCPStackOwner* owner, kelRTCPOutput* output)
    : f_owner(owner), f_output(output), f_outBuf(4096), f_rng(std::random_device{}())
{}

kelRTCPSession::~kelRTCPSession() = default;

uint32_t kelRTCPSession::random(uint32_t upperLimit) noexcept
{
    if (f_random) return f_random(upperLimit);
    std::lock_guard<std::mutex> guard(f_randomGuard);
    return std::uniform_int_distribution<uint32_t>(0, upperLimit)(f_rng);
}

int kelRTCPSession::send(const sockaddr_in* addr, const uint8_t* data, size_t size) noexcept
{
    return f_output ? f_output->sendRTCP(addr, data, size) : 10038; // not a socket
}

void kelRTCPSession::callOwner(const char* what, const std::function<void(kelRTCPStackOwner&)>& call) noexcept
{
    if (f_owner == nullptr) return;
    try {
        call(*f_owner);
    } catch (...) {
        logCaught(std::string("the RTCP owner hook ") + what);
    }
}

// --- sequence numbers and sent RTP ---------------------------------------------

uint16_t kelRTCPSession::nextSeq() noexcept
{
    return static_cast<uint16_t>(f_seq.fetch_add(1) + 1);
}

void kelRTCPSession::onRTPSent(const rtp_hdr& header, size_t payloadSize, uint32_t clockRate) noexcept
{
    intptr_t score = f_we_sent.load();
    while (score < 5 && !f_we_sent.compare_exchange_weak(score, score + 1)) {
    }
    if (score == 0) ++f_senders;
    f_we_sentEver.store(true);
    {
        std::lock_guard<std::mutex> guard(f_sentGuard);
        f_rtpTS = header.timestamp();
        f_rtpSentUs = f_clock.nowUs();
        f_rtpClockRate = clockRate;
    }
    if (payloadSize > 0) {
        ++f_rtpPCount;
        f_rtpPSize += static_cast<uint32_t>(payloadSize);
    }
}

uint32_t kelRTCPSession::rtpTimestampAt(uint64_t us) const noexcept
{
    std::lock_guard<std::mutex> guard(f_sentGuard);
    if (f_rtpClockRate == 0 || us <= f_rtpSentUs) return f_rtpTS;
    // Modulo 2^32, as the timestamp itself runs.
    return f_rtpTS + rtpArrivalUnits(us - f_rtpSentUs, f_rtpClockRate);
}

// --- members -------------------------------------------------------------------

rtp_site_info* kelRTCPSession::newMember(uint32_t ssrc) noexcept
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

rtp_site_info* kelRTCPSession::memberAcq(uint32_t ssrc, bool create, bool ro, intptr_t timeout,
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
    } else if (create && makeRoom()) {
        m = newMember(ssrc);
        const bool locked = m && m->r_acq->acquire(false, 1);
        if (m) m->r_joinOrder = ++f_joins;
        const bool wasEmpty = f_members.count() == 0;
        if (locked && f_members.add(static_cast<void*>(m)) >= 0) {
            if (created) *created = true;
            if (wasEmpty) {
                f_firstSSRC.store(ssrc);
                f_firstKnown.store(true);
            }
            try {
                f_unvalidatedOrder.push_back(ssrc);
            } catch (const std::bad_alloc&) {
                // Never dropped for room then; it still times out.
            }
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

bool kelRTCPSession::dropOldestUnvalidated() noexcept
{
    for (size_t tries = f_unvalidatedOrder.size(); tries > 0 && !f_unvalidatedOrder.empty(); --tries) {
        const uint32_t ssrc = f_unvalidatedOrder.front();
        f_unvalidatedOrder.pop_front();
        const intptr_t index = f_members.indexOfId(ssrc);
        rtp_site_info* m = index >= 0 ? f_members.member(index) : nullptr;
        if (m == nullptr) continue;
        if (!m->r_acq->acquire(true, 5)) {
            // Busy right now: it keeps its turn for later.
            f_unvalidatedOrder.push_back(ssrc);
            continue;
        }
        const bool validated = m->r_validated != 0;
        m->r_acq->releaseRO();
        if (validated) continue;
        if (f_members.removeByIndex(index, 2)) {
            ++f_membersDropped;
            return true;
        }
    }
    return false;
}

bool kelRTCPSession::makeRoom() noexcept
{
    const intptr_t maxAll = f_maxMembers.load();
    const intptr_t maxPool = std::min(f_maxUnvalidated.load(), maxAll);
    while (f_members.count() >= maxAll || f_members.count() - f_members.validatedCount() >= maxPool) {
        if (!dropOldestUnvalidated()) {
            ++f_membersRefused;
            return false;
        }
    }
    // The queue keeps entries of members validated or gone since; prune
    // them once they outnumber the pool, so it stays as small as the pool.
    if (f_unvalidatedOrder.size() > static_cast<size_t>(2 * maxPool + 16)) {
        std::deque<uint32_t> kept;
        try {
            for (const uint32_t ssrc : f_unvalidatedOrder) {
                const intptr_t index = f_members.indexOfId(ssrc);
                rtp_site_info* m = index >= 0 ? f_members.member(index) : nullptr;
                if (m == nullptr) continue;
                bool keep = true;
                if (m->r_acq->acquire(true, 5)) {
                    keep = m->r_validated == 0;
                    m->r_acq->releaseRO();
                }
                if (keep) kept.push_back(ssrc);
            }
            f_unvalidatedOrder.swap(kept);
        } catch (const std::bad_alloc&) {
            // Pruned at the next newcomer.
        }
    }
    return true;
}

rtp_site_info* kelRTCPSession::memberBySSRCAcq(uint32_t ssrc, bool ro, intptr_t timeout) noexcept
{
    if (f_members.count() == 0) return nullptr;
    return memberAcq(ssrc, false, ro, timeout, nullptr);
}

rtp_site_info* kelRTCPSession::memberByAddrAcq(bool isRTP, const sockaddr_in& addr, bool ro,
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
        else if (ro)
            m->r_acq->releaseRO();
        else
            m->r_acq->releaseWO();
    }
    f_members.unlockRO();
    return found;
}

void kelRTCPSession::memberReleaseRO(rtp_site_info* member) noexcept
{
    if (member && member->r_acq) member->r_acq->releaseRO();
}

void kelRTCPSession::memberReleaseWO(rtp_site_info* member) noexcept
{
    if (member && member->r_acq) member->r_acq->releaseWO();
}

// --- queries -------------------------------------------------------------------

bool kelRTCPSession::isMember(uint32_t ssrc, intptr_t timeout) noexcept
{
    rtp_site_info* m = memberBySSRCAcq(ssrc, true, timeout);
    memberReleaseRO(m);
    return m != nullptr;
}

bool kelRTCPSession::memberCopy(uint32_t ssrc, rtp_site_info& out, intptr_t timeout) noexcept
{
    rtp_site_info* m = memberBySSRCAcq(ssrc, true, timeout);
    if (m == nullptr) return false;
    out = *m;
    memberReleaseRO(m);
    return true;
}

bool kelRTCPSession::memberCopyByAddr(bool isRTP, const sockaddr_in& addr, rtp_site_info& out,
                                      intptr_t timeout) noexcept
{
    rtp_site_info* m = memberByAddrAcq(isRTP, addr, true, timeout);
    if (m == nullptr) return false;
    out = *m;
    memberReleaseRO(m);
    return true;
}

bool kelRTCPSession::hasMemberAt(bool isRTP, const sockaddr_in& addr, intptr_t timeout) noexcept
{
    rtp_site_info* m = memberByAddrAcq(isRTP, addr, true, timeout);
    memberReleaseRO(m);
    return m != nullptr;
}

bool kelRTCPSession::reportsTo(const sockaddr_in& addr, intptr_t timeout) noexcept
{
    if (!f_members.lock(true, timeout)) return false;
    bool found = false;
    for (intptr_t i = 0; i < f_members.count() && !found; ++i) {
        rtp_site_info* m = f_members.member(i);
        if (m == nullptr || !m->r_acq->acquire(true, 10)) continue;
        found = m->r_validated && m->r_remoteAddrRTCPValid && !m->r_hardBye &&
                rtpSameAddr(m->r_remoteAddrRTCP, addr);
        m->r_acq->releaseRO();
    }
    f_members.unlockRO();
    return found;
}

bool kelRTCPSession::isFirstMember(uint32_t ssrc) noexcept
{
    if (!f_members.lock(true, 20)) return false;
    bool first = false;
    const intptr_t n = f_members.count();
    if (n > 0) {
        if (!f_firstKnown.load() || f_members.indexOfId(f_firstSSRC.load()) < 0) {
            // The first member left: the earliest of those still here
            // takes its place (the join order never changes, so it reads
            // under the table's lock alone).
            const rtp_site_info* earliest = nullptr;
            for (intptr_t i = 0; i < n; ++i) {
                const rtp_site_info* m = f_members.member(i);
                if (m && (earliest == nullptr || m->r_joinOrder < earliest->r_joinOrder)) earliest = m;
            }
            if (earliest) {
                f_firstSSRC.store(earliest->r_ssrc);
                f_firstKnown.store(true);
            }
        }
        first = f_firstKnown.load() && f_firstSSRC.load() == ssrc;
    }
    f_members.unlockRO();
    return first;
}

bool kelRTCPSession::copyMembers(std::vector<rtp_site_info>& copies, std::vector<uint32_t>* busy,
                                 intptr_t listTimeout, intptr_t memberTimeout) noexcept
{
    if (!f_members.lock(true, listTimeout)) return false;
    try {
        for (intptr_t i = 0; i < f_members.count(); ++i) {
            rtp_site_info* m = f_members.member(i);
            if (m == nullptr) continue;
            if (!m->r_acq->acquire(true, memberTimeout)) {
                // The SSRC is the member's id and never changes: readable
                // under the table's lock alone.
                if (busy) busy->push_back(m->r_ssrc);
                continue;
            }
            try {
                copies.push_back(*m);
            } catch (const std::bad_alloc&) {
                // This member is left out of the copy.
            }
            m->r_acq->releaseRO();
        }
    } catch (const std::bad_alloc&) {
        // The list of busy members is cut short.
    }
    f_members.unlockRO();
    return true;
}

// --- received RTP --------------------------------------------------------------

void kelRTCPSession::processRTP(const sockaddr_in& from, const rtp_hdr& header, size_t) noexcept
{
    rtp_site_info* m = memberBySSRCAcq(header.ssrc(), false, 20);
    if (m == nullptr) return;
    if (!m->r_remoteAddrRTPValid) {
        m->r_remoteAddrRTP = from;
        m->r_remoteAddrRTPValid = kelTrue;
    }
    m->r_lastPayloadTM = now();
    m->r_heardOf = kelTrue;
    // Only a validated source counts as a sender in the interval.
    if (!m->r_isSender && m->r_validated) {
        m->r_isSender = kelTrue;
        ++f_senders;
    }
    memberReleaseWO(m);
}

bool kelRTCPSession::updateSeq(uint32_t ssrc, uint16_t seq) noexcept
{
    if (f_owner && ssrc == f_owner->rtcpSSRC()) return false;
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
        // The peer of a conference is delivered as it comes; its sequence
        // is still followed, so it proves itself like any source.
        if (rtpSeqUpdate(*m, seq) && m->r_probation == 0) validate(*m);
        memberReleaseWO(m);
        return true;
    }
    const bool valid = rtpSeqUpdate(*m, seq);
    // Packets in sequence up to the end of probation prove the source.
    if (valid && m->r_probation == 0) validate(*m);
    memberReleaseWO(m);
    return valid;
}

bool kelRTCPSession::updateSeq(const rtp_hdr& header) noexcept
{
    const uint32_t ssrc = header.ssrc();
    if (!updateSeq(ssrc, header.seq())) return false;
    const uint32_t rate = f_owner ? f_owner->rtcpClockRate(header.payloadType()) : 0;
    if (rate == 0) return true;
    const uint32_t arrival = rtpArrivalUnits(f_clock.nowUs(), rate);
    rtp_site_info* m = memberBySSRCAcq(ssrc, false, 40);
    if (m == nullptr) return true;
    rtpJitterUpdate(*m, arrival, header.timestamp());
    memberReleaseWO(m);
    return true;
}

// --- received RTCP -------------------------------------------------------------

void kelRTCPSession::heard(const sockaddr_in& from, uint32_t ssrc, const kelRTCPPacketView& p) noexcept
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
            if (p.cnameLength > 0) validate(*m);
        } catch (const std::bad_alloc&) {
            // The CNAME is taken again with the next report.
        }
    }
    memberReleaseWO(m);
    if (cname) callOwner("onSDESItem", [&](kelRTCPStackOwner& o) { o.onSDESItem(ssrc, *cname); });
}

void kelRTCPSession::bye(uint32_t ssrc) noexcept
{
    rtp_site_info* m = memberBySSRCAcq(ssrc, false, 100);
    if (m == nullptr) return;
    m->r_hardBye = kelTrue;
    std::unique_ptr<rtp_site_info> gone;
    if (!m->r_byeReported) {
        m->r_byeReported = kelTrue;
        // A source that never proved itself leaves without a word: a forged
        // BYE must not close what the owner built on a real member.
        if (m->r_validated) {
            try {
                gone = std::make_unique<rtp_site_info>(*m);
            } catch (const std::bad_alloc&) {
                // The owner is not told of this BYE.
            }
        }
    }
    memberReleaseWO(m);
    if (gone) callOwner("onMemberGone", [&](kelRTCPStackOwner& o) { o.onMemberGone(gone.get(), false); });
}

void kelRTCPSession::processRTCP(const sockaddr_in& from, const uint8_t* data, size_t size) noexcept
{
    const uint32_t own = ownSSRC();
    kelRTCPReader reader(data, size);
    kelRTCPPacketView p;
    bool first = true;
    uint32_t firstSSRC = 0;
    while (reader.next(p)) {
        if (first && p.hasSSRC) firstSSRC = p.ssrc;
        first = false;
        if (p.type == kelrtcp_BYE) {
            // A mixer or a side that leaves with several sources lists them
            // all; each one leaves.
            for (unsigned i = 0; i < p.byeCount; ++i)
                if (p.byeSSRC(i) != own) bye(p.byeSSRC(i));
            continue;
        }
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
        default:
            break;
        }
    }
    if (firstSSRC != 0 && firstSSRC != own)
        callOwner("onRTCPPacket", [&](kelRTCPStackOwner& o) { o.onRTCPPacket(firstSSRC, from, data, size); });
}

void kelRTCPSession::noteCompoundSize(size_t size) noexcept
{
    const intptr_t avg = f_avg_rtcp_size.load();
    f_avg_rtcp_size.store(static_cast<intptr_t>(avg * 0.9375) + static_cast<intptr_t>(size / 16));
}

void kelRTCPSession::processAPP(const sockaddr_in& from, const uint8_t* packet, uint8_t subtype,
                                const char* name, const uint8_t* data, size_t size) noexcept
{
    const uint32_t ssrc = packet ? kelLoadBE32(packet + 4) : 0;
    if (name == nullptr) return;
    if (std::memcmp(name, "_RTT", 4) != 0) {
        callOwner("onRTCPApp",
                  [&](kelRTCPStackOwner& o) { o.onRTCPApp(from, ssrc, subtype, name, data, size); });
        return;
    }
    if (!f_rttEnabled.load() || size < kelRTTPayloadSize) return;
    const uint32_t own = ownSSRC();
    const kelRTTPayload rtt = kelRTTPayload::read(data);
    if (subtype == kelRTTProbe && rtt.probedSSRC == own) {
        (void)sendAPPto(from, kelRTTEcho, "_RTT", data, kelRTTPayloadSize);
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
