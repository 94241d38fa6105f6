#pragma once
// kelRTCPstack: the RTCP side of one RTP streamer: a kelRTCPSession wrapped
// in the RTCP socket (the RTP port + 1) and two threads.
//
// The session (kelRTCPSession.h) holds the member table, the statistics,
// the report scheduler, time-outs, round-trip probes and sequence numbers;
// the stack binds the socket, feeds the session what arrives, ticks it and
// sends what it builds.
//
// Threads:
//  - its own thread (this kelThread) receives RTCP and calls processRTCP;
//  - the idle thread (kelRTCPIdleThread) calls timerTick every 100 ms, which
//    sends reports, checks time-outs and probes round-trip times;
//  - the streamer's receive thread calls processRTP and updateSeq;
//  - the transmitter's callers call nextSeq and onRTPSent.
// Owner hooks run with no lock of the session or the stack held.
//
// Time comes from a kelClock (the system clock unless set) and randomness
// from an injectable source, so the interval and time-out logic runs under
// test without waiting.

#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelEvent.h"
#include "core/kelThread.h"
#include "core/kelTypes.h"
#include "net/rtp/kelRTCPSession.h"
#include "net/rtp/kelRTCPStackOwner.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class kelRTCPstack;
class kelUdpSocket;
class kelMulticastSocket;
class kelTcpSocket;
class kelSocket;

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
    using Random = kelRTCPSession::Random;
    using NTPClock = kelRTCPSession::NTPClock;

    // `streamer` may be null (nothing is then reported upwards); it must
    // outlive the stack. Sender reports are stamped by the shared NTP clock
    // (getNTPTime); with `useNTP` it is prepared at once, otherwise on the
    // first sender report. Preparing it queries the default NTP server:
    // tests point that at loopback (setNTPDefaultServer) or replace the
    // clock with setNTPClock.
    kelRTCPstack(kelRTCPStackOwner* streamer, bool useNTP);
    ~kelRTCPstack() override;

    // The session: member queries, statistics and scheduler figures. Any
    // thread; it locks its own table.
    kelRTCPSession& session() noexcept { return f_session; }
    const kelRTCPSession& session() const noexcept { return f_session; }

    // --- called by the streamer ------------------------------------------
    // Next RTP sequence number (low 16 bits of an atomic counter). Any thread.
    uint16_t nextSeq() noexcept { return f_session.nextSeq(); }
    // Every RTP packet sent; `header` as it went out. Any thread.
    // `clockRate` (Hz) is the rate the timestamps run at, 0 when unknown.
    void onRTPSent(const rtp_hdr& header, size_t payloadSize, uint32_t clockRate = 0) noexcept
    {
        f_session.onRTPSent(header, payloadSize, clockRate);
    }
    // Sequence check of a received RTP packet; true when it is to be
    // delivered. Streamer's receive thread, after processRTP.
    [[nodiscard]] bool updateSeq(uint32_t ssrc, uint16_t seq) noexcept
    {
        return f_session.updateSeq(ssrc, seq);
    }
    // The same, counting a delivered packet into its source's jitter.
    [[nodiscard]] bool updateSeq(const rtp_hdr& header) noexcept { return f_session.updateSeq(header); }
    // Notes an RTP packet from a known member. Streamer's receive thread.
    virtual void processRTP(const sockaddr_in& from, const rtp_hdr& header, size_t size) noexcept;
    // Parses and dispatches a received RTCP datagram. Receive thread.
    virtual void processRTCP(const sockaddr_in& from, const uint8_t* data, size_t size) noexcept;
    // The 100 ms tick: does nothing unless the receive loop is running.
    // Idle thread.
    virtual void timerTick() noexcept;

    // --- members -------------------------------------------------------------
    // A member locked for the caller, as the session's memberBySSRCAcq and
    // memberByAddrAcq. Prefer the session's queries (memberCopy,
    // hasMemberAt, copyMembers ...), which leave no lock to the caller.
    rtp_site_info* memberBySSRCAcq(uint32_t ssrc, bool ro, intptr_t timeout) noexcept
    {
        return f_session.memberBySSRCAcq(ssrc, ro, timeout);
    }
    rtp_site_info* memberByAddrAcq(bool isRTP, const sockaddr_in& addr, bool ro, intptr_t timeout) noexcept
    {
        return f_session.memberByAddrAcq(isRTP, addr, ro, timeout);
    }
    static void memberReleaseRO(rtp_site_info* member) noexcept { kelRTCPSession::memberReleaseRO(member); }
    static void memberReleaseWO(rtp_site_info* member) noexcept { kelRTCPSession::memberReleaseWO(member); }
    // Members in the list + 1 for this side.
    intptr_t memberCount() const noexcept { return f_session.memberCount(); }

    // --- sending ----------------------------------------------------------
    // An APP packet to `addr` (10038 without a socket; 0 and nothing sent
    // for IP 0) in a compound: SR or empty RR, SDES CNAME, the APP. The
    // CNAME always travels, so `sendCNAMEasWell` no longer changes what is
    // sent. A failure is kept in socketError too. Any thread.
    int sendAPPto(const sockaddr_in& addr, uint8_t subtype, const char* name, const uint8_t* data, size_t len,
                  bool sendCNAMEasWell) noexcept;
    // One datagram through the stack's socket: UDP to `addr`, multicast to
    // the group (`addr` ignored), TCP to the peer. 0 or the error code.
    virtual int sendTo(const sockaddr_in* addr, const uint8_t* data, size_t size) noexcept;
    // Builds and sends a compound report, or the BYE. Idle thread (reports)
    // or the receive thread as it ends (BYE). True when something was sent.
    bool report(bool isBye) noexcept { return f_session.report(isBye); }

    // --- properties -------------------------------------------------------
    const kelString& bind2port() const noexcept { return f_b2port; }
    void setBind2port(const kelString& port) { f_b2port = port; }
    intptr_t socketError() const noexcept { return f_socketError.load(); }
    kelRTCPStackOwner* streamer() const noexcept { return f_streamer; }
    intptr_t memberTimeoutReports() const noexcept { return f_session.memberTimeoutReports(); }
    void setMemberTimeoutReports(intptr_t value) noexcept { f_session.setMemberTimeoutReports(value); }
    bool conferenceMode() const noexcept { return f_session.conferenceMode(); }
    void setConferenceMode(bool value) noexcept { f_session.setConferenceMode(value); }
    bool rttEnabled() const noexcept { return f_session.rttEnabled(); }
    void setRttEnabled(bool value) noexcept { f_session.setRttEnabled(value); }
    uint16_t seqNum() const noexcept { return f_session.seqNum(); }
    bool addrChangeAutoResolve() const noexcept { return f_session.addrChangeAutoResolve(); }
    void setAddrChangeAutoResolve(bool value) noexcept { f_session.setAddrChangeAutoResolve(value); }
    kelEvent& readyEvent() noexcept { return f_readyEv; }
    // The local port the socket is bound to, 0 when none.
    uint16_t boundPort() const noexcept { return f_boundPort.load(); }
    // The socket, for a part that borrows it while the owner's sockets are
    // rented out (rtcpSocketsRented): the stack does not read it then. Null
    // while the stack is not running.
    kelSocket* rentedSocket() const noexcept
    {
        return f_streamer != nullptr && f_streamer->rtcpSocketsRented() ? activeSocket() : nullptr;
    }

    // Figures of the report scheduler, for diagnostics and tests.
    intptr_t senders() const noexcept { return f_session.senders(); }
    intptr_t weSent() const noexcept { return f_session.weSent(); }
    intptr_t avgRtcpSize() const noexcept { return f_session.avgRtcpSize(); }
    bool initial() const noexcept { return f_session.initial(); }
    uint64_t nextCheckIn() const noexcept { return f_session.nextCheckIn(); }
    uint64_t lastReportTM() const noexcept { return f_session.lastReportTM(); }
    kelRTCPIntervalResult lastInterval() const noexcept { return f_session.lastInterval(); }

    // The clock the scheduler, time-outs and round-trip probes read; the
    // system clock until set. `clock` must outlive the stack.
    void setClock(const kelClock& clock) noexcept { f_session.setClock(clock); }
    const kelClock& clock() const noexcept { return f_session.clock(); }
    // Replace the random source or the NTP clock; before start.
    void setRandom(Random random) { f_session.setRandom(std::move(random)); }
    void setNTPClock(NTPClock ntp) { f_session.setNTPClock(std::move(ntp)); }

    kelString _classID() const override { return u"kelRTCPstack"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;
    void startIn() override;
    void startOut() override;
    void beforeDestruction() override;

    // APP packets; "_RTT" probes and echoes are handled by the session,
    // others go to the owner. Receive thread.
    virtual void processAPP(const sockaddr_in& from, const uint8_t* packet, uint8_t subtype, const char* name,
                            const uint8_t* data, size_t size) noexcept;

private:
    // The session's way out: through sendTo, failures of APP sends kept in
    // socketError.
    class Output final : public kelRTCPOutput
    {
    public:
        explicit Output(kelRTCPstack& stack) noexcept : f_stack(stack) {}
        int sendRTCP(const sockaddr_in* addr, const uint8_t* data, size_t size) noexcept override
        {
            return f_stack.sendTo(addr, data, size);
        }
        void rtcpAppSendFailed(int code) noexcept override { f_stack.setSocketError(code); }

    private:
        kelRTCPstack& f_stack;
    };

    kelSocket* activeSocket() const noexcept;
    int receive(sockaddr_in& from, uint8_t* buf, size_t size, int64_t wait) noexcept;
    void setSocketError(intptr_t code) noexcept { f_socketError.store(code); }

    kelString f_b2port;
    kelRTCPStackOwner* f_streamer;
    Output f_output{*this};
    kelRTCPSession f_session;
    std::unique_ptr<kelUdpSocket> f_socket_U;
    std::unique_ptr<kelMulticastSocket> f_socket_M;
    std::unique_ptr<kelTcpSocket> f_socket_T;
    // Guards the socket pointers: sends come from several threads, and the
    // socket goes away in startOut.
    std::mutex f_sendGuard;
    kelEvent f_readyEv{true, false};
    std::atomic<intptr_t> f_socketError{0};
    kelOwned<kelRTCPIdleThread> f_idleThread;
    std::atomic<uint16_t> f_boundPort{0};
};
