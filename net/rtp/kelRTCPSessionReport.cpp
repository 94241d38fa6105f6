// The report side of kelRTCPSession: the interval and its scheduler,
// compound reports and the BYE, member time-outs and round-trip probes.
#include "net/rtp/kelRTCPSession.h"

#include "core/kelLog.h"
#include "net/rtp/kelRTCPPackets.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// A compound report stays below this size.
constexpr size_t kMaxCompound = 1450;
// Round-trip probes of one member are at least this far apart.
constexpr uint64_t kRttProbeSpacing = 15000;

uint64_t elapsed(uint64_t now, uint64_t mark) noexcept
{
    return now > mark ? now - mark : 0;
}

} // namespace

kelRTCPIntervalResult kelRTCPSession::lastInterval() const noexcept
{
    std::lock_guard<std::mutex> guard(f_intervalGuard);
    return f_interval;
}

int64_t kelRTCPSession::interval() noexcept
{
    kelRTCPIntervalInput in;
    // Only validated members count: forged sources must not stretch the
    // interval (and with it every time-out) without end.
    in.members = validatedMemberCount();
    in.senders = std::min<int64_t>(f_senders.load(), in.members);
    in.maxTd = f_maxTd.load();
    in.avgRtcpSize = f_avg_rtcp_size.load();
    in.rtcpBandwidth = f_rtcp_bw.load();
    in.weSent = f_we_sent.load() >= 1;
    in.initial = f_initial.load();
    const kelRTCPIntervalResult r = rtcpComputeInterval(in, random(99));
    std::lock_guard<std::mutex> guard(f_intervalGuard);
    f_interval = r;
    return r.T;
}

void kelRTCPSession::reset() noexcept
{
    f_tp.store(0);
    f_pmembers.store(0);
    f_senders.store(0);
    f_rtcp_bw.store(200);
    f_we_sent.store(0);
    f_we_sentEver.store(false);
    f_avg_rtcp_size.store(100);
    f_initial.store(true);
    {
        std::lock_guard<std::mutex> guard(f_sentGuard);
        f_rtpTS = 0;
        f_rtpSentUs = 0;
        f_rtpClockRate = 0;
    }
    f_rtpPCount.store(0);
    f_rtpPSize.store(0);
    f_lastRRIndex = -1;
    f_rttLastIndex = 0;
    f_tc.store(now());
    f_tn.store(static_cast<uint64_t>(interval()));
    f_reportInterval.store(0);
    f_seq.store(random(65535));
}

bool kelRTCPSession::tick() noexcept
{
    const uint64_t t = now();
    bool expired = false;
    if (elapsed(t, f_tc.load()) > f_tn.load()) {
        expired = true;
        f_tc.store(t);
        intptr_t score = f_we_sent.load();
        while (score > 0 && !f_we_sent.compare_exchange_weak(score, score - 1)) {
        }
        if (score == 1 && f_senders.load() > 0) --f_senders;
        // Timer reconsideration: the interval is drawn again with what is
        // known now, and counts from the last report, not from this check;
        // when that time lies ahead the timer is set to it, so reports stay
        // one (re)drawn interval apart.
        const uint64_t T = static_cast<uint64_t>(std::max<int64_t>(interval(), 0));
        const uint64_t previous = f_tp.load();
        const uint64_t since = elapsed(t, previous);
        if (previous == 0 || since >= T) {
            // Time-outs count in report intervals, not in the time to the
            // next check, which reconsideration may have shortened.
            f_reportInterval.store(std::max<uint64_t>(T, 1));
            (void)report(false);
            checkTimeouts(previous);
            sendRTTProbe();
            f_tp.store(t);
            f_tn.store(static_cast<uint64_t>(interval()));
        } else {
            f_tn.store(T - since);
        }
        f_pmembers.store(memberCount());
    }
    callOwner("onIdle", [&](kelRTCPStackOwner& o) { o.onIdle(expired); });
    return expired;
}

bool kelRTCPSession::beginCompound(kelRTCPWriter& w, uint32_t ssrc) noexcept
{
    if (f_we_sent.load() <= 0) return w.beginRR(ssrc);
    // The NTP stamp and the RTP time name the same instant: the RTP time is
    // the last packet's timestamp carried forward to now, so a peer can map
    // its RTP clock to the wall clock whatever the pause since that packet.
    kelNTP_timestamp ntp;
    if (!f_ntp || !f_ntp(ntp)) ntp = kelNTP_timestamp{};
    const uint32_t rtpTime = rtpTimestampAt(f_clock.nowUs());
    return w.beginSR(ssrc, ntp, rtpTime, f_rtpPCount.load(), f_rtpPSize.load());
}

std::string kelRTCPSession::ownCNAME() noexcept
{
    try {
        if (f_owner) return f_owner->rtcpCNAME();
    } catch (...) {
        logCaught("the RTCP owner hook rtcpCNAME");
    }
    return {};
}

size_t kelRTCPSession::buildReport(std::string_view cname, uint32_t ssrc) noexcept
{
    const size_t sdes = rtcpSDESSize(cname.size());
    kelRTCPWriter w(f_outBuf.data(), f_outBuf.size());
    bool ok = beginCompound(w, ssrc);
    if (!ok) return 0;

    const uint64_t t = now();
    if (f_members.lock(true, 100)) {
        const intptr_t n = f_members.count();
        const intptr_t start = n > 0 ? (f_lastRRIndex + 1) % n : 0;
        for (intptr_t k = 0; k < n; ++k) {
            // Room for one more block, in this packet or in a further RR.
            const bool full = w.openBlocks() >= kelRTCPMaxBlocks;
            if (w.size() + sdes + (full ? kelRTCPRRSize + kelRTCPBlockSize : kelRTCPBlockSize) >=
                kMaxCompound)
                break;
            const intptr_t index = (start + k) % n;
            f_lastRRIndex = index;
            rtp_site_info* m = f_members.member(index);
            if (m == nullptr || !m->r_acq->acquire(false, 20)) continue;
            m->r_noRRsinceLastReport = kelTrue;
            const bool reportable =
                m->r_validated && !m->r_hardBye && !m->r_timedout && m->r_heardOf && m->r_remoteAddrRTCPValid;
            m->r_heardOf = kelFalse;
            if (reportable) {
                if (full) ok = w.beginRR(ssrc);
                ok = ok && w.addBlock(rtpMakeReportBlock(*m, t));
            }
            m->r_acq->releaseWO();
            if (!ok) break;
        }
        f_members.unlockRO();
    }
    w.closePacket();
    if (!w.addSDES(ssrc, cname)) return 0;
    return w.size();
}

bool kelRTCPSession::report(bool isBye) noexcept
{
    const uint32_t ssrc = ownSSRC();
    const std::string cname = ownCNAME();
    size_t size = 0;
    if (isBye) {
        // A side that never reported nor sent has nobody to say goodbye to.
        if (f_initial.load() && !f_we_sentEver.load()) return false;
        // Like every RTCP datagram, the goodbye is a compound led by a
        // report (no blocks: the statistics are not moved on by leaving).
        kelRTCPWriter w(f_outBuf.data(), f_outBuf.size());
        bool ok = beginCompound(w, ssrc);
        w.closePacket();
        ok = ok && w.addSDES(ssrc, cname) && w.addBYE(ssrc);
        if (ok) size = w.size();
    } else {
        size = buildReport(cname, ssrc);
    }
    if (size == 0) return false;

    const uint8_t* data = f_outBuf.data();
    bool sent = false;
    const kelRTCPTransport transport = f_owner ? f_owner->rtcpTransport() : kelrtcp_udp;
    if (transport == kelrtcp_multicast) {
        sent = send(nullptr, data, size) == 0;
    } else {
        const bool conference = f_confMode.load();
        std::vector<sockaddr_in> targets;
        if (f_members.lock(true, 100)) {
            for (intptr_t i = 0; i < f_members.count(); ++i) {
                rtp_site_info* m = f_members.member(i);
                if (m == nullptr || !m->r_acq->acquire(true, 10)) continue;
                // Reports go only to sources that proved themselves, so
                // forged members cannot aim them at anyone.
                const bool use = m->r_validated && m->r_remoteAddrRTCPValid && !m->r_hardBye;
                const sockaddr_in addr = m->r_remoteAddrRTCP;
                m->r_acq->releaseRO();
                if (use) {
                    try {
                        targets.push_back(addr);
                    } catch (const std::bad_alloc&) {
                        // This member misses one report.
                    }
                    if (conference) break;
                }
            }
            f_members.unlockRO();
        }
        if (transport == kelrtcp_tcp) {
            // One connection, one peer: every member heard on it and every
            // destination of the owner would get the same copy down the
            // same stream, so the compound goes out once, and only here.
            sent = send(targets.empty() ? nullptr : &targets.front(), data, size) == 0;
        } else {
            for (const sockaddr_in& addr : targets)
                sent = send(&addr, data, size) == 0 || sent;
        }
        // The owner passes the report on to its own destinations, which
        // counts as sent: that is how a side reports before it has members.
        if (!conference && transport != kelrtcp_tcp && f_owner) {
            callOwner("onRTCPReport", [&](kelRTCPStackOwner& o) { o.onRTCPReport(data, size); });
            sent = true;
        }
    }
    if (sent) {
        f_initial.store(false);
        noteCompoundSize(size);
    }
    return sent;
}

void kelRTCPSession::checkTimeouts(uint64_t previousReport) noexcept
{
    const uint64_t t = now();
    const uint64_t tn = f_reportInterval.load() != 0 ? f_reportInterval.load() : f_tn.load();
    const intptr_t reportsToTimeout = f_memberTR.load();
    struct Gone
    {
        std::unique_ptr<rtp_site_info> member;
        bool timedOut;
    };
    std::vector<Gone> gone;
    if (!f_members.lock(false, 300)) return;
    for (intptr_t i = 0; i < f_members.count();) {
        rtp_site_info* m = f_members.member(i);
        if (m == nullptr || !m->r_acq->acquire(false, 20)) {
            ++i;
            continue;
        }
        bool remove = false;
        // RTP since the previous report counts as a sign of life: the heard
        // flag itself was cleared by the report just built.
        const bool heardRTP = m->r_lastPayloadTM > previousReport;
        if (!m->r_hardBye && !m->r_timedout && !heardRTP && m->r_noRRsinceLastReport) {
            if (m->r_isSender && elapsed(t, m->r_lastPayloadTM) > 3 * tn) {
                m->r_isSender = kelFalse;
                if (f_senders.load() > 0) --f_senders;
            }
            if (reportsToTimeout > 0 && elapsed(t, m->r_lastRRreceivedTM) > tn * uint64_t(reportsToTimeout))
                m->r_timedout = kelTrue;
        }
        if (m->r_byeReported) {
            if (m->r_hardBye) {
                remove = true;
                if (m->r_isSender && f_senders.load() > 0) --f_senders;
            } else {
                m->r_hardBye = kelTrue;
            }
        } else if (m->r_hardBye || m->r_timedout) {
            m->r_byeReported = kelTrue;
            // Unvalidated sources go without a word to the owner.
            try {
                if (m->r_validated) gone.push_back(Gone{std::make_unique<rtp_site_info>(*m), !m->r_hardBye});
            } catch (const std::bad_alloc&) {
                // The owner is not told of this member's leaving.
            }
        }
        m->r_acq->releaseWO();
        if (remove)
            (void)f_members.removeByIndex(i, 2);
        else
            ++i;
    }
    f_members.unlockWO();
    for (const Gone& g : gone)
        callOwner("onMemberGone", [&](kelRTCPStackOwner& o) { o.onMemberGone(g.member.get(), g.timedOut); });
}

void kelRTCPSession::sendRTTProbe() noexcept
{
    if (!f_rttEnabled.load()) return;
    const uint64_t t = now();
    bool probe = false;
    sockaddr_in addr{};
    kelRTTPayload payload;
    if (!f_members.lock(true, 100)) return;
    if (f_rttLastIndex >= f_members.count()) {
        f_rttLastIndex = 0;
        f_members.unlockRO();
        return;
    }
    rtp_site_info* m = f_members.member(f_rttLastIndex);
    if (m != nullptr && m->r_acq->acquire(false, 40)) {
        if (m->r_validated && m->r_remoteAddrRTCPValid &&
            (m->r_rttTMU == 0 || elapsed(t, m->r_rttTMU) > kRttProbeSpacing)) {
            m->r_rttTMU = t;
            m->r_rttMagic = random(0x7FFFFFFE) ^ m->r_ssrc;
            payload.timeMark = t;
            payload.magic = m->r_rttMagic;
            payload.proberSSRC = ownSSRC();
            payload.probedSSRC = m->r_ssrc;
            addr = m->r_remoteAddrRTCP;
            probe = true;
        }
        m->r_acq->releaseWO();
    }
    ++f_rttLastIndex;
    f_members.unlockRO();
    if (probe) {
        uint8_t data[kelRTTPayloadSize];
        payload.write(data);
        (void)sendAPPto(addr, kelRTTProbe, "_RTT", data, sizeof data);
    }
}

int kelRTCPSession::sendCNAMEto(const sockaddr_in& addr) noexcept
{
    try {
        const std::string cname = ownCNAME();
        const uint32_t ssrc = ownSSRC();
        // Room for an SR: this side may start sending meanwhile.
        std::vector<uint8_t> compound(kelRTCPSRSize + rtcpSDESSize(cname.size()));
        kelRTCPWriter w(compound.data(), compound.size());
        bool ok = beginCompound(w, ssrc);
        w.closePacket();
        ok = ok && w.addSDES(ssrc, cname);
        return ok ? send(&addr, compound.data(), w.size()) : 10040; // message too long
    } catch (const std::bad_alloc&) {
        return 10055; // no buffer space
    }
}

int kelRTCPSession::sendAPPto(const sockaddr_in& addr, uint8_t subtype, const char* name, const uint8_t* data,
                              size_t len) noexcept
{
    if (addr.sin_addr.s_addr == 0) return 0;
    int rc;
    try {
        // Peers that check RTCP as RFC 3550 section 6.1 asks drop an APP
        // that is not part of a compound led by a report and carrying the
        // CNAME.
        const std::string cname = ownCNAME();
        const uint32_t ssrc = ownSSRC();
        // Room for an SR: this side may start sending meanwhile.
        std::vector<uint8_t> compound(kelRTCPSRSize + rtcpSDESSize(cname.size()) + rtcpAPPSize(len));
        kelRTCPWriter w(compound.data(), compound.size());
        bool ok = beginCompound(w, ssrc);
        w.closePacket();
        ok = ok && w.addSDES(ssrc, cname) &&
             w.addAPP(ssrc, subtype, std::string_view(name, name ? std::strlen(name) : 0), data, len);
        rc = ok ? send(&addr, compound.data(), w.size()) : 10040; // message too long
    } catch (const std::bad_alloc&) {
        rc = 10055; // no buffer space
    }
    if (rc != 0 && f_output) f_output->rtcpAppSendFailed(rc);
    return rc;
}
