#pragma once
// One participant of an RTP session as the RTCP stack tracks it, and the
// per-source arithmetic of RFC 3550 appendix A:
//  - A.1 sequence validation, with two local rules: packets are delivered
//    while the source is on probation, and late or duplicate packets (up to
//    100 behind) are counted as received but not delivered;
//  - A.3 loss figures for the report block;
//  - A.8 interarrival jitter.
// These routines touch only the record they are given; the caller holds the
// member's lock.

#include "core/kelObject.h"
#include "net/rtp/kelRTCPPackets.h"

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <memory>

// An SDES item: type, length and up to 255 bytes of text.
struct rtcp_sdes_item
{
    uint8_t r_type = 0;
    uint8_t length = 0;
    std::array<uint8_t, 255> r_data{};
};

// Marks a member created from RTCP alone: its first RTP packet starts the
// sequence state afresh.
inline constexpr uint32_t kelRTPProbationRTCPOnly = 64;
inline constexpr uint32_t kelRTPMinSequential = 2;
inline constexpr uint32_t kelRTPMaxDropout = 3000;
inline constexpr uint32_t kelRTPMaxMisorder = 100;
inline constexpr uint32_t kelRTPSeqMod = 65536;

struct rtp_site_info
{
    // The member's own lock (not the list's); taken with short timeouts.
    // Shared, like the CNAME, so that a copy of the record handed to a hook
    // stays valid whatever happens to the member meanwhile.
    std::shared_ptr<kelObject> r_acq;
    uint32_t r_ssrc = 0;
    // Replaced, never written in place, once set.
    std::shared_ptr<const rtcp_sdes_item> r_cname;
    uint16_t r_max_seq = 0;
    uint64_t r_cycles = 0;
    uint32_t r_base_seq = 0;
    uint32_t r_bad_seq = 0;
    uint32_t r_probation = 0;
    uint32_t r_received = 0;
    uint32_t r_expected_prior = 0;
    uint32_t r_received_prior = 0;
    // Relative transit time of the last packet (arrival minus RTP
    // timestamp, in timestamp units) and the jitter estimate scaled by 16;
    // r_transitValid once a first transit is known.
    uint32_t r_transit = 0;
    uint32_t r_jitter = 0;
    int32_t r_transitValid = 0;
    uint32_t r_rtt = 0;
    uint32_t r_rttMagic = 0;
    uint64_t r_rttTMU = 0;
    int32_t r_remoteAddrRTCPValid = 0;
    sockaddr_in r_remoteAddrRTCP{};
    int32_t r_remoteAddrRTPValid = 0;
    sockaddr_in r_remoteAddrRTP{};
    uint32_t r_lastSRreceived = 0;
    uint64_t r_lastSRreceivedTM = 0;
    uint64_t r_lastRRreceivedTM = 0;
    int32_t r_timedout = 0;
    int32_t r_hardBye = 0;
    int32_t r_byeReported = 0;
    uint64_t r_lastPayloadTM = 0;
    int32_t r_heardOf = 0;
    int32_t r_isSender = 0;
    int32_t r_noRRsinceLastReport = 0;
    int64_t r_stat_lost = 0;
    int64_t r_stat_received = 0;
    int64_t r_stat_lost_prev = 0;
    int64_t r_stat_received_prev = 0;
    int64_t r_stat_lostPercent = 0;
    // Set once the source proved itself: RTP that passed probation, or an
    // RTCP CNAME. Only validated members count in the report interval, get
    // reports and probes, and are announced when they leave.
    int32_t r_validated = 0;
    // Order of joining the table (1 for the first ever), fixed at creation.
    uint64_t r_joinOrder = 0;
};

// Starts the sequence state at `seq` (A.1 init_seq).
void rtpSeqInit(rtp_site_info& s, uint16_t seq) noexcept;

// Puts a member on probation for its first RTP packet `seq`.
void rtpSeqStartProbation(rtp_site_info& s, uint16_t seq) noexcept;

// A.1 update_seq with the rules above. True when the packet is to be
// delivered. Delivered, late and duplicate packets are counted in r_received
// and r_stat_received; a jump that may be a restart and packets out of order
// during probation are not.
bool rtpSeqUpdate(rtp_site_info& s, uint16_t seq) noexcept;

// A.8: one packet with RTP timestamp `timestamp` arrived at `arrival`, both
// in units of the stream's timestamp clock (the arrival from any fixed
// origin: only differences count). The first packet only sets the transit.
void rtpJitterUpdate(rtp_site_info& s, uint32_t arrival, uint32_t timestamp) noexcept;

// The arrival time `us` (microseconds of any clock) in units of a
// `clockRate` Hz timestamp clock, modulo 2^32.
uint32_t rtpArrivalUnits(uint64_t us, uint32_t clockRate) noexcept;

// The report block about `s` at time `now` (ms ticks): A.3 loss figures,
// extended highest sequence, the jitter estimate, LSR and DLSR. Updates the
// member's interval priors and loss statistics.
kelRTCPReportBlock rtpMakeReportBlock(rtp_site_info& s, uint64_t now) noexcept;

// True when both addresses name the same IPv4 host and the ports are equal
// or either is 0.
bool rtpSameAddr(const sockaddr_in& a, const sockaddr_in& b) noexcept;
