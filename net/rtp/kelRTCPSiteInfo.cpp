#include "net/rtp/kelRTCPSiteInfo.h"

#include "core/kelTimeUtils.h"

#include <algorithm>

void rtpSeqInit(rtp_site_info& s, uint16_t seq) noexcept
{
    s.r_base_seq = seq;
    s.r_max_seq = seq;
    s.r_bad_seq = kelRTPSeqMod + 1; // so seq == bad_seq is false
    s.r_cycles = 0;
    s.r_received = 0;
    s.r_received_prior = 0;
    s.r_expected_prior = 0;
    // A restarted source has a new timestamp origin: its old transit would
    // count as one huge jump.
    s.r_transitValid = 0;
}

void rtpSeqStartProbation(rtp_site_info& s, uint16_t seq) noexcept
{
    rtpSeqInit(s, seq);
    s.r_max_seq = static_cast<uint16_t>(seq - 1);
    s.r_probation = kelRTPMinSequential;
}

bool rtpSeqUpdate(rtp_site_info& s, uint16_t seq) noexcept
{
    bool valid = false;
    // A late or repeated packet still arrived: received counts every packet
    // of the running sequence, so reordering and duplicates are no loss.
    bool counted = false;
    if (s.r_probation > 0) {
        if (seq == static_cast<uint16_t>(s.r_max_seq + 1)) {
            const uint32_t was = s.r_probation--;
            s.r_max_seq = seq;
            if (was == 1) rtpSeqInit(s, seq);
            valid = true;
        } else {
            s.r_probation = 1;
            s.r_max_seq = seq;
        }
    } else {
        const uint16_t udelta = static_cast<uint16_t>(seq - s.r_max_seq);
        if (udelta < kelRTPMaxDropout) {
            if (seq < s.r_max_seq) s.r_cycles += kelRTPSeqMod;
            s.r_max_seq = seq;
            valid = true;
        } else if (udelta <= kelRTPSeqMod - kelRTPMaxMisorder) {
            // A large jump: two in a row means the source restarted.
            if (seq == s.r_bad_seq) {
                rtpSeqInit(s, seq);
                valid = true;
            } else {
                s.r_bad_seq = (uint32_t(seq) + 1) & (kelRTPSeqMod - 1);
            }
        } else {
            // Duplicate or late: counted, not delivered.
            counted = true;
        }
    }
    if (valid || counted) {
        ++s.r_received;
        ++s.r_stat_received;
    }
    return valid;
}

kelRTCPReportBlock rtpMakeReportBlock(rtp_site_info& s, uint64_t now) noexcept
{
    const int64_t extendedMax = static_cast<int64_t>(s.r_cycles) + s.r_max_seq;
    const int64_t expected = extendedMax - static_cast<int64_t>(s.r_base_seq) + 1;
    // Duplicates can make more arrive than were expected: no loss then. The
    // interval figures below still use the true expected count, so a
    // duplicate does not hide a later loss from the fraction.
    const int64_t lost = std::max<int64_t>(0, expected - static_cast<int64_t>(s.r_received));

    s.r_stat_lost = lost;
    s.r_stat_lostPercent = percent(lost - s.r_stat_lost_prev, s.r_stat_received - s.r_stat_received_prev);
    s.r_stat_lost_prev = lost;
    s.r_stat_received_prev = s.r_stat_received;

    const int64_t expectedInterval = expected - static_cast<int64_t>(s.r_expected_prior);
    const int64_t receivedInterval = static_cast<int64_t>(s.r_received) - s.r_received_prior;
    s.r_expected_prior = static_cast<uint32_t>(expected);
    s.r_received_prior = s.r_received;
    const int64_t lostInterval = expectedInterval - receivedInterval;

    kelRTCPReportBlock b;
    b.ssrc = s.r_ssrc;
    if (expectedInterval > 0 && lostInterval > 0)
        b.fractionLost = static_cast<uint8_t>(std::min<int64_t>(255, lostInterval * 256 / expectedInterval));
    b.cumulativeLost = static_cast<uint32_t>(lost) & 0x00FFFFFFu;
    b.extendedHighestSeq = static_cast<uint32_t>(extendedMax);
    b.jitter = s.r_jitter >> 4;
    if (s.r_lastSRreceived != 0 || s.r_lastSRreceivedTM != 0) {
        b.lastSR = s.r_lastSRreceived;
        // Units of 1/65536 s; the product needs 64 bits after 65 s.
        const uint64_t since = now > s.r_lastSRreceivedTM ? now - s.r_lastSRreceivedTM : 0;
        b.delaySinceLastSR = static_cast<uint32_t>(since * 65536 / 1000);
    }
    return b;
}

void rtpJitterUpdate(rtp_site_info& s, uint32_t arrival, uint32_t timestamp) noexcept
{
    const uint32_t transit = arrival - timestamp;
    if (s.r_transitValid) {
        // Modulo 2^32, so a timestamp wrap between the two packets is no jump.
        const int32_t d = static_cast<int32_t>(transit - s.r_transit);
        const uint32_t magnitude = d < 0 ? 0u - static_cast<uint32_t>(d) : static_cast<uint32_t>(d);
        // J += (|D| - J) / 16, kept scaled by 16 so no fraction is lost.
        s.r_jitter += magnitude - ((s.r_jitter + 8) >> 4);
    }
    s.r_transit = transit;
    s.r_transitValid = kelTrue;
}

uint32_t rtpArrivalUnits(uint64_t us, uint32_t clockRate) noexcept
{
    // Whole seconds and the rest apart: us × rate would overflow 64 bits
    // after a few years of uptime at 90 kHz.
    const uint64_t seconds = us / 1000000u;
    const uint64_t rest = us % 1000000u;
    return static_cast<uint32_t>(seconds * clockRate + rest * clockRate / 1000000u);
}

bool rtpSameAddr(const sockaddr_in& a, const sockaddr_in& b) noexcept
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr &&
           (a.sin_port == b.sin_port || a.sin_port == 0 || b.sin_port == 0);
}
