#pragma once
// kelRTCPSession: the state of one RTCP session (RFC 3550 section 6), with
// no socket and no thread of its own.
//
// It keeps the table of the other participants with their sequence
// statistics, builds compound reports and the BYE, parses and dispatches
// received compounds, runs the report scheduler (the randomised interval
// with timer reconsideration), notices members that time out, measures
// round-trip times with "_RTT" application packets and hands out the RTP
// sequence numbers.
//
// Everything comes in as calls: received datagrams (processRTCP), received
// RTP (processRTP, updateSeq), sent RTP (onRTPSent) and the 100 ms tick
// (tick). Time comes from a kelClock, randomness from an injectable source,
// and what the session wants sent goes out through a kelRTCPOutput, so the
// whole session runs under test on a manual clock without sockets.
//
// Threads: the calls may come from several threads at once (in the stack:
// its receive thread, its idle thread, the streamer's receive thread and
// the transmitter's callers). The member table has its own lock and each
// member record its own too, taken with short timeouts; a lock that cannot
// be had in time makes the call skip that member. Owner hooks and sends run
// with no lock of the session held.

#include "core/kelClock.h"
#include "core/kelIdList.h"
#include "core/kelTypes.h"
#include "net/rtp/kelNTPTimestamp.h"
#include "net/rtp/kelRTCPInterval.h"
#include "net/rtp/kelRTCPPackets.h"
#include "net/rtp/kelRTCPParser.h"
#include "net/rtp/kelRTCPSiteInfo.h"
#include "net/rtp/kelRTCPStackOwner.h"
#include "net/rtp/kelRTPHeader.h"

#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

// Where the session's datagrams go.
class kelRTCPOutput
{
public:
    virtual ~kelRTCPOutput() = default;

    // One datagram: to `addr`, or to the session's multicast group when
    // `addr` is null. 0 or a socket error code. Called on the thread that
    // called the session, with no session lock held; `data` lives during
    // the call.
    virtual int sendRTCP(const sockaddr_in* addr, const uint8_t* data, size_t size) noexcept = 0;
    // An application packet (a round-trip probe or echo, or one sent through
    // sendAPPto) failed with `code`.
    virtual void rtcpAppSendFailed(int code) noexcept { (void)code; }
};

// The members, keyed by SSRC and sorted by it, so a lookup is a binary
// search whatever the table holds; the list owns its records. Removing a
// record waits briefly for its lock so nobody still reading it sees it
// vanish. It counts the validated members among its records.
class kelRTCPSourceList : public kelIdList
{
public:
    kelRTCPSourceList();
    ~kelRTCPSourceList() override;

    rtp_site_info* member(intptr_t index) noexcept { return static_cast<rtp_site_info*>(get(index)); }
    // Validated records in the list. markValidated sets the record's flag
    // and counts it, once; the caller holds the record's write lock.
    intptr_t validatedCount() const noexcept { return f_validated.load(); }
    void markValidated(rtp_site_info& member) noexcept;

    kelString _classID() const override { return u"kelRTCPSourceList"; }

protected:
    int64_t getId(void* item) noexcept override;
    void releaseItem(intptr_t index, uintptr_t doFree) noexcept override;

private:
    std::atomic<intptr_t> f_validated{0};
};

class kelRTCPSession
{
public:
    using Random = std::function<uint32_t(uint32_t upperLimit)>;
    using NTPClock = std::function<bool(kelNTP_timestamp& ntp)>;

    // `owner` gives the SSRC and CNAME and receives the hooks; `output`
    // takes the datagrams. Either may be null (no hooks; nothing sent), and
    // both must outlive the session.
    kelRTCPSession(kelRTCPStackOwner* owner, kelRTCPOutput* output);
    ~kelRTCPSession();
    kelRTCPSession(const kelRTCPSession&) = delete;
    kelRTCPSession& operator=(const kelRTCPSession&) = delete;

    // The clock of the scheduler, time-outs and probes: the system clock
    // until set; `clock` must outlive the session. The random source
    // (uniform in 0 ... upperLimit) and the clock of sender-report NTP
    // stamps (none: stamps are zero) are replaced before the session runs.
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }
    const kelClock& clock() const noexcept { return f_clock.get(); }
    void setRandom(Random random) { f_random = std::move(random); }
    void setNTPClock(NTPClock ntp) { f_ntp = std::move(ntp); }

    // A fresh start: scheduler figures back to their initial values, the
    // first check one interval from now, a random first sequence number.
    // Members are kept (clearMembers forgets them).
    void reset() noexcept;

    // --- input --------------------------------------------------------------
    // Next RTP sequence number (low 16 bits of an atomic counter). Any thread.
    uint16_t nextSeq() noexcept;
    // Every RTP packet sent; `header` as it went out, its timestamp running
    // at `clockRate` Hz (0: unknown), which sender reports extrapolate
    // with. Any thread.
    void onRTPSent(const rtp_hdr& header, size_t payloadSize, uint32_t clockRate = 0) noexcept;
    // Sequence check of a received RTP packet; true when it is to be
    // delivered. Called after processRTP. The header form also counts a
    // delivered packet into the source's interarrival jitter, taking "now"
    // as its arrival and the owner's clock rate of its payload type.
    [[nodiscard]] bool updateSeq(uint32_t ssrc, uint16_t seq) noexcept;
    [[nodiscard]] bool updateSeq(const rtp_hdr& header) noexcept;
    // The RTP time of the instant `us` (this session's clock): the last
    // sent timestamp moved on by the time since that packet went out. The
    // last timestamp itself when nothing was sent or the rate is unknown.
    uint32_t rtpTimestampAt(uint64_t us) const noexcept;
    // Notes an RTP packet from a known member.
    void processRTP(const sockaddr_in& from, const rtp_hdr& header, size_t size) noexcept;
    // Parses and dispatches a received RTCP datagram. Walks only within
    // `size`; a malformed tail is ignored.
    void processRTCP(const sockaddr_in& from, const uint8_t* data, size_t size) noexcept;
    // An application-defined packet of a received compound: "_RTT" probes
    // are echoed and echoes measured here, others go to the owner.
    void processAPP(const sockaddr_in& from, const uint8_t* packet, uint8_t subtype, const char* name,
                    const uint8_t* data, size_t size) noexcept;
    // A compound of `size` bytes arrived (or went out): it counts into the
    // average compound size of the interval.
    void noteCompoundSize(size_t size) noexcept;
    // The 100 ms tick: when the report timer ran out, reconsiders the
    // interval and, when due, reports, checks time-outs and sends one
    // round-trip probe. Calls the owner's onIdle. True when the timer ran
    // out in this tick.
    bool tick() noexcept;

    // --- output -------------------------------------------------------------
    // Builds and sends a compound report, or the BYE (none while nothing
    // was ever reported or sent). True when something was sent.
    bool report(bool isBye) noexcept;
    // After each report: members that went silent or said BYE.
    void checkTimeouts(uint64_t previousReport) noexcept;
    // After each report: one round-trip probe.
    void sendRTTProbe() noexcept;
    // Computes and stores the interval, ms.
    int64_t interval() noexcept;
    // An APP packet to `addr`, as a compound: SR or empty RR, SDES CNAME,
    // the APP. 0 and nothing sent for IP 0. A failure is also told to the
    // output.
    int sendAPPto(const sockaddr_in& addr, uint8_t subtype, const char* name, const uint8_t* data,
                  size_t len) noexcept;
    // The CNAME to `addr`: a compound of SR or empty RR and the SDES. 0 or
    // the error code.
    int sendCNAMEto(const sockaddr_in& addr) noexcept;

    // --- queries: each takes and leaves the table's locks itself ------------
    // Members in the table + 1 for this side.
    intptr_t memberCount() const noexcept { return f_members.count() + 1; }
    // Validated members + 1 for this side: what the report interval counts.
    intptr_t validatedMemberCount() const noexcept { return f_members.validatedCount() + 1; }
    // Sources turned away: refused because the table was full of validated
    // members, or dropped from the unvalidated pool to make room.
    uint64_t membersRefused() const noexcept { return f_membersRefused.load(); }
    uint64_t membersDropped() const noexcept { return f_membersDropped.load(); }
    bool isMember(uint32_t ssrc, intptr_t timeout = 100) noexcept;
    // A copy of the member with `ssrc`; false when absent or not readable
    // within `timeout`.
    bool memberCopy(uint32_t ssrc, rtp_site_info& out, intptr_t timeout = 100) noexcept;
    // A copy of the first member whose RTP (`isRTP`) or RTCP address matches
    // `addr` (same IP, ports equal or either 0).
    bool memberCopyByAddr(bool isRTP, const sockaddr_in& addr, rtp_site_info& out,
                          intptr_t timeout = 100) noexcept;
    bool hasMemberAt(bool isRTP, const sockaddr_in& addr, intptr_t timeout = 100) noexcept;
    // True when the session's own reports go to `addr`: a validated member
    // that has not said BYE reports from there.
    bool reportsTo(const sockaddr_in& addr, intptr_t timeout = 100) noexcept;
    // True when `ssrc` is the first member of the table (the peer of a
    // conference); false when the table is not readable in time.
    bool isFirstMember(uint32_t ssrc) noexcept;
    // Copies of every member readable within `memberTimeout`; the SSRCs of
    // the others go to `busy`. False (and nothing copied) when the table is
    // not readable within `listTimeout`.
    bool copyMembers(std::vector<rtp_site_info>& copies, std::vector<uint32_t>* busy = nullptr,
                     intptr_t listTimeout = 100, intptr_t memberTimeout = 20) noexcept;
    // Forgets every member.
    void clearMembers() noexcept { f_members.clear(2); }

    // The member with `ssrc`, its lock taken (read when `ro`) within
    // `timeout`; null when absent or not lockable in time. Release it with
    // memberReleaseRO/WO on the same thread, soon.
    rtp_site_info* memberBySSRCAcq(uint32_t ssrc, bool ro, intptr_t timeout) noexcept;
    rtp_site_info* memberByAddrAcq(bool isRTP, const sockaddr_in& addr, bool ro, intptr_t timeout) noexcept;
    static void memberReleaseRO(rtp_site_info* member) noexcept;
    static void memberReleaseWO(rtp_site_info* member) noexcept;

    // --- properties ---------------------------------------------------------
    kelRTCPStackOwner* owner() const noexcept { return f_owner; }
    intptr_t memberTimeoutReports() const noexcept { return f_memberTR.load(); }
    void setMemberTimeoutReports(intptr_t value) noexcept { f_memberTR.store(value); }
    bool conferenceMode() const noexcept { return f_confMode.load(); }
    void setConferenceMode(bool value) noexcept { f_confMode.store(value); }
    bool rttEnabled() const noexcept { return f_rttEnabled.load(); }
    void setRttEnabled(bool value) noexcept { f_rttEnabled.store(value); }
    uint16_t seqNum() const noexcept { return static_cast<uint16_t>(f_seq.load()); }
    bool addrChangeAutoResolve() const noexcept { return f_acar.load(); }
    void setAddrChangeAutoResolve(bool value) noexcept { f_acar.store(value); }
    // The table's bounds: at most maxMembers records, of which at most
    // maxUnvalidated are sources that have not proved themselves yet (the
    // oldest of those makes room for a newcomer). A newcomer finding the
    // table full of validated members is not recorded.
    intptr_t maxMembers() const noexcept { return f_maxMembers.load(); }
    void setMaxMembers(intptr_t value) noexcept { f_maxMembers.store(std::max<intptr_t>(value, 1)); }
    intptr_t maxUnvalidated() const noexcept { return f_maxUnvalidated.load(); }
    void setMaxUnvalidated(intptr_t value) noexcept { f_maxUnvalidated.store(std::max<intptr_t>(value, 1)); }
    // The ceiling of the deterministic report interval Td, ms (0: none).
    // The transmitter drops a receiver it has not heard from in 25 s; 6 s
    // keeps reports (at most 1.22 Td apart) coming three times in that
    // span whatever the table holds.
    int64_t maxReportInterval() const noexcept { return f_maxTd.load(); }
    void setMaxReportInterval(int64_t ms) noexcept { f_maxTd.store(std::max<int64_t>(ms, 0)); }

    // Figures of the report scheduler, for diagnostics and tests.
    intptr_t senders() const noexcept { return f_senders.load(); }
    intptr_t weSent() const noexcept { return f_we_sent.load(); }
    intptr_t avgRtcpSize() const noexcept { return f_avg_rtcp_size.load(); }
    bool initial() const noexcept { return f_initial.load(); }
    uint64_t nextCheckIn() const noexcept { return f_tn.load(); }
    uint64_t lastReportTM() const noexcept { return f_tp.load(); }
    kelRTCPIntervalResult lastInterval() const noexcept;

private:
    uint64_t now() const noexcept { return f_clock.nowMs(); }
    uint32_t random(uint32_t upperLimit) noexcept;
    uint32_t ownSSRC() const noexcept { return f_owner ? f_owner->rtcpSSRC() : 0; }
    int send(const sockaddr_in* addr, const uint8_t* data, size_t size) noexcept;
    // Finds the member, creating it when `create` (write lock then); the
    // result is locked as asked. `created` tells whether it is new.
    rtp_site_info* memberAcq(uint32_t ssrc, bool create, bool ro, intptr_t timeout, bool* created) noexcept;
    rtp_site_info* newMember(uint32_t ssrc) noexcept;
    // With the table's write lock held: makes room for one more record,
    // dropping the oldest unvalidated members as needed. False when the
    // newcomer must be refused.
    bool makeRoom() noexcept;
    bool dropOldestUnvalidated() noexcept;
    // Validates the member (its write lock held) once it proved itself.
    void validate(rtp_site_info& m) noexcept { f_members.markValidated(m); }
    void heard(const sockaddr_in& from, uint32_t ssrc, const kelRTCPPacketView& p) noexcept;
    void bye(uint32_t ssrc) noexcept;
    size_t buildReport(std::string_view cname, uint32_t ssrc) noexcept;
    // Opens a compound with the SR (when this side sends) or the RR that
    // must lead it; report blocks may follow.
    bool beginCompound(kelRTCPWriter& w, uint32_t ssrc) noexcept;
    std::string ownCNAME() noexcept;
    void callOwner(const char* what, const std::function<void(kelRTCPStackOwner&)>& call) noexcept;

    kelRTCPStackOwner* f_owner;
    kelRTCPOutput* f_output;
    std::vector<uint8_t> f_outBuf;
    kelRTCPSourceList f_members;
    std::atomic<intptr_t> f_seq{0};
    // Time marks of the last report and of the last timer check, and the ms
    // from that check to the next one.
    std::atomic<uint64_t> f_tp{0};
    std::atomic<uint64_t> f_tc{0};
    std::atomic<uint64_t> f_tn{0};
    // The interval the last report was due after, ms (0 before the first).
    std::atomic<uint64_t> f_reportInterval{0};
    std::atomic<intptr_t> f_pmembers{0};
    std::atomic<intptr_t> f_senders{0};
    std::atomic<intptr_t> f_rtcp_bw{200};
    std::atomic<intptr_t> f_we_sent{0};
    std::atomic<bool> f_we_sentEver{false};
    std::atomic<intptr_t> f_avg_rtcp_size{100};
    std::atomic<bool> f_initial{true};
    mutable std::mutex f_intervalGuard;
    kelRTCPIntervalResult f_interval;
    // The last RTP packet sent: its timestamp, when it went out (µs of the
    // session's clock) and its clock rate, kept together.
    mutable std::mutex f_sentGuard;
    uint32_t f_rtpTS = 0;
    uint64_t f_rtpSentUs = 0;
    uint32_t f_rtpClockRate = 0;
    std::atomic<uint32_t> f_rtpPCount{0};
    std::atomic<uint32_t> f_rtpPSize{0};
    std::atomic<bool> f_rttEnabled{true};
    intptr_t f_rttLastIndex = 0;
    intptr_t f_lastRRIndex = -1;
    std::atomic<intptr_t> f_memberTR{6};
    std::atomic<bool> f_confMode{false};
    std::atomic<bool> f_acar{true};
    std::atomic<intptr_t> f_maxMembers{256};
    std::atomic<intptr_t> f_maxUnvalidated{32};
    std::atomic<int64_t> f_maxTd{6000};
    std::atomic<uint64_t> f_membersRefused{0};
    std::atomic<uint64_t> f_membersDropped{0};
    // Unvalidated members in order of arrival, guarded by the table's write
    // lock. Entries of members that were validated or left meanwhile are
    // skipped when met and pruned when the queue outgrows the pool.
    std::deque<uint32_t> f_unvalidatedOrder;
    uint64_t f_joins = 0;
    // The SSRC of the member that joined first, found again when it left.
    std::atomic<uint32_t> f_firstSSRC{0};
    std::atomic<bool> f_firstKnown{false};

    kelClockSlot f_clock;
    Random f_random;
    NTPClock f_ntp;
    std::mutex f_randomGuard;
    std::mt19937 f_rng;
};
