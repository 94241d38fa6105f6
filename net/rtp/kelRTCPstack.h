#pragma once
// kelRTCPstack: the RTCP side of one RTP streamer (RFC 3550 section 6).
//
// It owns the RTCP socket (the RTP port + 1), keeps the table of the other
// participants with their sequence statistics, sends compound reports at
// the randomised RFC 3550 interval with timer reconsideration, a BYE when it
// stops, notices members that time out, measures round-trip times with
// "_RTT" application packets and hands out the RTP sequence numbers.
//
// Threads:
//  - its own thread (this kelThread) receives RTCP and calls processRTCP;
//  - the idle thread (kelRTCPIdleThread) calls timerTick every 100 ms, which
//    sends reports, checks time-outs and probes round-trip times;
//  - the streamer's receive thread calls processRTP and updateSeq;
//  - the transmitter's callers call nextSeq and onRTPSent.
// The member list has its own lock; each member record has its lock too,
// taken with short timeouts. Owner hooks run with no member lock held.
//
// Time comes from a kelClock (the system clock unless set) and
// randomness from an injectable source, so the interval and time-out logic
// runs under test without waiting.

#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelEvent.h"
#include "core/kelIdList.h"
#include "core/kelThread.h"
#include "core/kelTypes.h"
#include "net/rtp/kelNTPTimestamp.h"
#include "net/rtp/kelRTCPInterval.h"
#include "net/rtp/kelRTCPParser.h"
#include "net/rtp/kelRTCPSiteInfo.h"
#include "net/rtp/kelRTPHeader.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

class kelRTCPstack;
class kelUdpSocket;
class kelMulticastSocket;
class kelTcpSocket;
class kelSocket;

enum kelRTCPTransport : int32_t {
    kelrtcp_udp = 0,
    kelrtcp_multicast = 1,
    kelrtcp_tcp = 2,
};

// What the stack needs of the streamer that owns it. The hooks have empty
// defaults; they are called on the stack's threads (see each) with no lock
// of the stack held, and exceptions they raise are caught and dropped.
class kelRTCPStackOwner
{
public:
    virtual ~kelRTCPStackOwner() = default;

    // Own SSRC and the CNAME sent in SDES. Any stack thread.
    virtual uint32_t rtcpSSRC() const noexcept = 0;
    virtual std::string rtcpCNAME() const = 0;
    // The socket kind of the streamer: the stack's socket is of the same kind.
    virtual kelRTCPTransport rtcpTransport() const noexcept { return kelrtcp_udp; }
    // A receiver's bind address (the stack binds there too); empty for
    // others, whose stack binds to any address.
    virtual kelString rtcpBindIP() const { return {}; }
    // The multicast group a receiver joins, and the TTL of multicast sends.
    virtual kelString rtcpGroup() const { return {}; }
    virtual int rtcpTTL() const noexcept { return 1; }
    // True while the streamer has lent its sockets to another part: the
    // receive loop then leaves the socket alone.
    virtual bool rtcpSocketsRented() const noexcept { return false; }

    // Idle thread: a compound report was built and sent to the known
    // members; the owner may send it to its own destinations too.
    virtual void onRTCPReport(const uint8_t* data, size_t size) { (void)data, (void)size; }
    // Receive thread: a whole RTCP datagram, with its first packet's SSRC.
    virtual void onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size)
    {
        (void)ssrc, (void)from, (void)packet, (void)size;
    }
    // Receive thread: a CNAME arrived.
    virtual void onSDESItem(uint32_t ssrc, const rtcp_sdes_item& item) { (void)ssrc, (void)item; }
    // A member said BYE (receive thread, timedOut false) or timed out (idle
    // thread, true). `member` is a copy, valid during the call.
    virtual void onMemberGone(const rtp_site_info* member, bool timedOut) { (void)member, (void)timedOut; }
    // Idle thread, every 100 ms; `timerExpired` when the report timer ran
    // out in this tick.
    virtual void onIdle(bool timerExpired) { (void)timerExpired; }
    // Application-defined packets other than "_RTT" (receive thread).
    virtual void onRTCPApp(const sockaddr_in& from, uint32_t ssrc, uint8_t subtype, const char* name,
                           const uint8_t* data, size_t size)
    {
        (void)from, (void)ssrc, (void)subtype, (void)name, (void)data, (void)size;
    }
};

// The members, keyed by SSRC; the list owns its records. Removing a record
// waits briefly for its lock so nobody still reading it sees it vanish.
class kelRTCPSourceList : public kelIdList
{
public:
    kelRTCPSourceList();
    ~kelRTCPSourceList() override;

    rtp_site_info* member(intptr_t index) noexcept { return static_cast<rtp_site_info*>(get(index)); }

    kelString _classID() const override { return u"kelRTCPSourceList"; }

protected:
    int64_t getId(void* item) noexcept override;
    void releaseItem(intptr_t index, uintptr_t doFree) noexcept override;
};

class kelRTCPIdleThread : public kelThread
{
public:
    explicit kelRTCPIdleThread(kelRTCPstack* rtcp) : f_rtcp(rtcp) {}
    kelString _classID() const override { return u"kelRTCPIdleThread"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;

private:
    kelRTCPstack* f_rtcp;
};

class kelRTCPstack : public kelThread
{
public:
    using Random = std::function<uint32_t(uint32_t upperLimit)>;
    using NTPClock = std::function<bool(kelNTP_timestamp& ntp)>;

    // `streamer` may be null (nothing is then reported upwards); it must
    // outlive the stack. Sender reports are stamped by the shared NTP clock
    // (getNTPTime); with `useNTP` it is prepared at once, otherwise on the
    // first sender report. Preparing it queries the default NTP server:
    // tests point that at loopback (setNTPDefaultServer) or replace the
    // clock with setNTPClock.
    kelRTCPstack(kelRTCPStackOwner* streamer, bool useNTP);
    ~kelRTCPstack() override;

    // --- called by the streamer ------------------------------------------
    // Next RTP sequence number (low 16 bits of an atomic counter). Any thread.
    uint16_t nextSeq() noexcept;
    // Every RTP packet sent; `header` as it went out. Any thread.
    void onRTPSent(const rtp_hdr& header, size_t payloadSize) noexcept;
    // Sequence check of a received RTP packet; true when it is to be
    // delivered. Streamer's receive thread, after processRTP.
    [[nodiscard]] bool updateSeq(uint32_t ssrc, uint16_t seq) noexcept;
    // Notes an RTP packet from a known member. Streamer's receive thread.
    virtual void processRTP(const sockaddr_in& from, const rtp_hdr& header, size_t size) noexcept;
    // Parses and dispatches a received RTCP datagram. Receive thread.
    virtual void processRTCP(const sockaddr_in& from, const uint8_t* data, size_t size) noexcept;
    // The 100 ms tick: does nothing unless the receive loop is running.
    // Idle thread.
    virtual void timerTick() noexcept;

    // --- members ----------------------------------------------------------
    // The member with `ssrc`, its lock taken (read when `ro`) within
    // `timeout`; null when absent or not lockable in time. Release it with
    // memberReleaseRO/WO on the same thread.
    rtp_site_info* memberBySSRCAcq(uint32_t ssrc, bool ro, intptr_t timeout) noexcept;
    // The first member whose RTP (`isRTP`) or RTCP address matches `addr`
    // (same IP, ports equal or either 0), locked like memberBySSRCAcq.
    rtp_site_info* memberByAddrAcq(bool isRTP, const sockaddr_in& addr, bool ro, intptr_t timeout) noexcept;
    static void memberReleaseRO(rtp_site_info* member) noexcept;
    static void memberReleaseWO(rtp_site_info* member) noexcept;
    // Members in the list + 1 for this side.
    intptr_t memberCount() const noexcept { return f_members.count() + 1; }
    kelRTCPSourceList& members() noexcept { return f_members; }

    // --- sending ----------------------------------------------------------
    // An APP packet to `addr` (10038 without a socket; 0 and nothing sent
    // for IP 0); with `sendCNAMEasWell` an SDES goes 10 ms before it. A
    // failure is kept in socketError too. Any thread.
    int sendAPPto(const sockaddr_in& addr, uint8_t subtype, const char* name, const uint8_t* data, size_t len,
                  bool sendCNAMEasWell) noexcept;
    // One datagram through the stack's socket: UDP to `addr`, multicast to
    // the group (`addr` ignored), TCP to the peer. 0 or the error code.
    virtual int sendTo(const sockaddr_in* addr, const uint8_t* data, size_t size) noexcept;
    // Builds and sends a compound report, or the BYE. Idle thread (reports)
    // or the receive thread as it ends (BYE). True when something was sent.
    bool report(bool isBye) noexcept;

    // --- properties -------------------------------------------------------
    const kelString& bind2port() const noexcept { return f_b2port; }
    void setBind2port(const kelString& port) { f_b2port = port; }
    intptr_t socketError() const noexcept { return f_socketError.load(); }
    kelRTCPStackOwner* streamer() const noexcept { return f_streamer; }
    intptr_t memberTimeoutReports() const noexcept { return f_memberTR.load(); }
    void setMemberTimeoutReports(intptr_t value) noexcept { f_memberTR.store(value); }
    bool conferenceMode() const noexcept { return f_confMode.load(); }
    void setConferenceMode(bool value) noexcept { f_confMode.store(value); }
    bool rttEnabled() const noexcept { return f_rttEnabled.load(); }
    void setRttEnabled(bool value) noexcept { f_rttEnabled.store(value); }
    uint16_t seqNum() const noexcept { return static_cast<uint16_t>(f_seq.load()); }
    bool addrChangeAutoResolve() const noexcept { return f_acar.load(); }
    void setAddrChangeAutoResolve(bool value) noexcept { f_acar.store(value); }
    kelEvent& readyEvent() noexcept { return f_readyEv; }
    // The local port the socket is bound to, 0 when none.
    uint16_t boundPort() const noexcept { return f_boundPort.load(); }

    // Figures of the report scheduler, for diagnostics and tests.
    intptr_t senders() const noexcept { return f_senders.load(); }
    intptr_t weSent() const noexcept { return f_we_sent.load(); }
    intptr_t avgRtcpSize() const noexcept { return f_avg_rtcp_size.load(); }
    bool initial() const noexcept { return f_initial.load(); }
    uint64_t nextCheckIn() const noexcept { return f_tn; }
    uint64_t lastReportTM() const noexcept { return f_tp; }
    kelRTCPIntervalResult lastInterval() const noexcept;

    // The clock the scheduler, time-outs and round-trip probes read; the
    // system clock until set. `clock` must outlive the stack.
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }
    const kelClock& clock() const noexcept { return f_clock.get(); }
    // Replace the random source or the NTP clock; before start.
    void setRandom(Random random) { f_random = std::move(random); }
    void setNTPClock(NTPClock ntp) { f_ntp = std::move(ntp); }

    kelString _classID() const override { return u"kelRTCPstack"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;
    void startIn() override;
    void startOut() override;
    void beforeDestruction() override;

    // APP packets; "_RTT" probes and echoes are handled here, others go to
    // the owner. Receive thread.
    virtual void processAPP(const sockaddr_in& from, const uint8_t* packet, uint8_t subtype, const char* name,
                            const uint8_t* data, size_t size) noexcept;

    // The session state of a fresh start (part of startIn; tests call it to
    // run the scheduler without a socket).
    void resetSession() noexcept;
    // The report timer's work of one tick, past the ready check.
    void runTimer() noexcept;
    // After each report: members that went silent or said BYE.
    void checkTimeouts(uint64_t previousReport) noexcept;
    // After each report: one round-trip probe.
    void sendRTTProbe() noexcept;
    // Computes and stores the interval, ms.
    int64_t interval() noexcept;

    uint64_t now() const noexcept { return f_clock.nowMs(); }
    uint32_t random(uint32_t upperLimit) noexcept;

private:
    // Finds the member, creating it when `create` (write lock then); the
    // result is locked as asked. `created` tells whether it is new.
    rtp_site_info* memberAcq(uint32_t ssrc, bool create, bool ro, intptr_t timeout, bool* created) noexcept;
    rtp_site_info* newMember(uint32_t ssrc) noexcept;
    bool isFirstMember(uint32_t ssrc) noexcept;
    void heard(const sockaddr_in& from, uint32_t ssrc, const kelRTCPPacketView& p) noexcept;
    void bye(uint32_t ssrc) noexcept;
    size_t buildReport(std::string_view cname, uint32_t ssrc) noexcept;
    kelSocket* activeSocket() const noexcept;
    int receive(sockaddr_in& from, uint8_t* buf, size_t size, int64_t wait) noexcept;
    void setSocketError(intptr_t code) noexcept { f_socketError.store(code); }
    void callOwner(const char* what, const std::function<void(kelRTCPStackOwner&)>& call) noexcept;

    kelString f_b2port;
    std::vector<uint8_t> f_outBuf;
    kelRTCPSourceList f_members;
    std::unique_ptr<kelUdpSocket> f_socket_U;
    std::unique_ptr<kelMulticastSocket> f_socket_M;
    std::unique_ptr<kelTcpSocket> f_socket_T;
    // Guards the socket pointers: sends come from several threads, and the
    // socket goes away in startOut.
    std::mutex f_sendGuard;
    kelEvent f_readyEv{true, false};
    std::atomic<intptr_t> f_socketError{0};
    kelRTCPStackOwner* f_streamer;
    std::atomic<intptr_t> f_seq{0};
    uint64_t f_tp = 0;
    uint64_t f_tc = 0;
    uint64_t f_tn = 0;
    std::atomic<intptr_t> f_pmembers{0};
    std::atomic<intptr_t> f_senders{0};
    std::atomic<intptr_t> f_rtcp_bw{200};
    std::atomic<intptr_t> f_we_sent{0};
    std::atomic<bool> f_we_sentEver{false};
    std::atomic<intptr_t> f_avg_rtcp_size{100};
    std::atomic<bool> f_initial{true};
    mutable std::mutex f_intervalGuard;
    kelRTCPIntervalResult f_interval;
    std::atomic<uint32_t> f_rtpTS{0};
    std::atomic<uint32_t> f_rtpPCount{0};
    std::atomic<uint32_t> f_rtpPSize{0};
    kelOwned<kelRTCPIdleThread> f_idleThread;
    std::atomic<bool> f_rttEnabled{true};
    intptr_t f_rttLastIndex = 0;
    intptr_t f_lastRRIndex = -1;
    std::atomic<intptr_t> f_memberTR{6};
    std::atomic<bool> f_confMode{false};
    std::atomic<bool> f_acar{true};
    std::atomic<uint16_t> f_boundPort{0};

    kelClockSlot f_clock;
    Random f_random;
    NTPClock f_ntp;
    std::mutex f_randomGuard;
    std::mt19937 f_rng;
};
